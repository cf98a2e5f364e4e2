#include "platform/paths.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {
namespace fs = std::filesystem;

namespace {

// A Windows path reduced to its drive and its components, as GetFullPathName
// leaves it.
struct FullPath {
    char drive = 0;
    fs::path driveFolder;
    std::vector<AnsiString> parts;
    bool trailingSeparator = false;
};

// Z: stands for the host root unless the workstation gives it a folder, so
// that every host path has a Windows form.
std::optional<fs::path> DriveFolder(const Workstation& ws, char letter) {
    for (const char name : {static_cast<char>(letter - 'A' + 'a'), letter}) {
        const fs::path folder = ws.DrivesDir() / std::string(1, name);
        std::error_code ec;
        if (fs::is_directory(folder, ec)) {
            return folder;
        }
    }
    if (letter == 'Z') {
        return fs::path("/");
    }
    return std::nullopt;
}

// Characters that no Windows name may hold. The wildcards stay legal here so
// that search patterns still map; they never name an existing entry.
bool IsValidComponent(std::string_view part) {
    return std::none_of(part.begin(), part.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || c == ':' || c == '<' || c == '>' || c == '"' || c == '|';
    });
}

bool HasWildcard(const FullPath& full) {
    return std::any_of(full.parts.begin(), full.parts.end(), [](const AnsiString& part) {
        return part.find_first_of("*?") != AnsiString::npos;
    });
}

std::optional<FullPath> Resolve(const AnsiString& windowsPath, const Workstation& ws);

// The process's current folder, in Windows form; absent when it has none
// (outside every drive while drives/z is a folder of its own).
std::optional<FullPath> CurrentFolder(const Workstation& ws) {
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    if (ec) {
        return std::nullopt;
    }
    const AnsiString windows = WindowsPath(cwd, ws);
    if (windows.empty()) {
        return std::nullopt;
    }
    return Resolve(windows, ws);
}

std::optional<FullPath> Resolve(const AnsiString& windowsPath, const Workstation& ws) {
    // UNC names, "\\?\" and "\\.\" all start with two separators: none of
    // them lies on a drive of the workstation.
    AnsiString text = windowsPath;
    std::replace(text.begin(), text.end(), '/', '\\');
    if (text.empty() || text.rfind("\\\\", 0) == 0) {
        return std::nullopt;
    }

    FullPath full;
    std::string_view rest = text;
    if (text.size() >= 2 && text[1] == ':') {
        const char letter = AsciiUpperCase(text.substr(0, 1))[0];
        if (letter < 'A' || letter > 'Z') {
            return std::nullopt;
        }
        full.drive = letter;
        // Without per-drive current folders, "C:foo" starts at the root of C:.
        rest.remove_prefix(2);
    } else {
        auto current = CurrentFolder(ws);
        if (!current) {
            return std::nullopt;
        }
        full.drive = current->drive;
        if (text[0] != '\\') {
            full.parts = std::move(current->parts);
        }
    }

    auto folder = DriveFolder(ws, full.drive);
    if (!folder) {
        return std::nullopt;
    }
    full.driveFolder = std::move(*folder);

    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('\\', start);
        if (end == std::string_view::npos) {
            end = rest.size();
        }
        const std::string_view part = rest.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!full.parts.empty()) {
                full.parts.pop_back();
            }
            continue;
        }
        if (!IsValidComponent(part)) {
            return std::nullopt;
        }
        full.parts.emplace_back(part);
    }
    full.trailingSeparator = !full.parts.empty() && !rest.empty() && rest.back() == '\\';
    return full;
}

AnsiString FormatFullPath(const FullPath& full) {
    AnsiString out{full.drive, ':', '\\'};
    for (std::size_t i = 0; i < full.parts.size(); ++i) {
        if (i > 0) {
            out += '\\';
        }
        out += full.parts[i];
    }
    if (full.trailingSeparator) {
        out += '\\';
    }
    return out;
}

// The entry of folder that Windows would open for name: the exact name when
// present, else the first case-insensitive match in byte order.
std::optional<fs::path> FindEntry(const fs::path& folder, const AnsiString& name) {
    const fs::path exact = folder / AnsiToUtf8(name);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(exact, ec))) {
        return exact;
    }
    std::optional<std::string> best;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string host = it->path().filename().string();
        if (AnsiSameText(Utf8ToAnsi(host), name) && (!best || host < *best)) {
            best = std::move(host);
        }
    }
    if (!best) {
        return std::nullopt;
    }
    return folder / *best;
}

fs::path MapToHost(const FullPath& full) {
    fs::path host = full.driveFolder;
    bool found = true;
    for (const AnsiString& part : full.parts) {
        std::optional<fs::path> entry;
        if (found) {
            entry = FindEntry(host, part);
        }
        if (entry) {
            host = std::move(*entry);
        } else {
            // Nothing further down can exist: the rest keeps the case written.
            found = false;
            host /= AnsiToUtf8(part);
        }
    }
    if (full.trailingSeparator) {
        // Kept so that "file\" does not pass for the file, as on Windows.
        host /= "";
    }
    return host;
}

// Symlinks resolved as far as the path exists; no trailing separator.
fs::path CanonicalAsFarAsExists(const fs::path& path) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(path, ec);
    if (ec) {
        canonical = path.lexically_normal();
    }
    if (!canonical.has_filename() && canonical.has_relative_path()) {
        canonical = canonical.parent_path();
    }
    return canonical;
}

// Number of components of prefix when it heads path, else -1.
int PrefixDepth(const fs::path& prefix, const fs::path& path) {
    auto p = path.begin();
    int depth = 0;
    for (const fs::path& component : prefix) {
        if (component.empty()) {
            continue;
        }
        if (p == path.end() || *p != component) {
            return -1;
        }
        ++p;
        ++depth;
    }
    return depth;
}

}  // namespace

AnsiString ExpandFileName(const AnsiString& windowsPath, const Workstation& ws) {
    const auto full = Resolve(windowsPath, ws);
    return full ? FormatFullPath(*full) : AnsiString();
}

std::optional<fs::path> HostPath(const AnsiString& windowsPath, const Workstation& ws) {
    const auto full = Resolve(windowsPath, ws);
    if (!full) {
        return std::nullopt;
    }
    return MapToHost(*full);
}

AnsiString WindowsPath(const fs::path& hostPath, const Workstation& ws) {
    if (hostPath.empty()) {
        return {};
    }
    std::error_code ec;
    const fs::path absolute = fs::absolute(hostPath, ec);
    if (ec) {
        return {};
    }
    const fs::path target = CanonicalAsFarAsExists(absolute);

    char bestDrive = 0;
    fs::path bestRoot;
    int bestDepth = -1;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const auto folder = DriveFolder(ws, letter);
        if (!folder) {
            continue;
        }
        const fs::path root = CanonicalAsFarAsExists(*folder);
        const int depth = PrefixDepth(root, target);
        if (depth > bestDepth) {
            bestDrive = letter;
            bestRoot = root;
            bestDepth = depth;
        }
    }
    if (bestDepth < 0) {
        return {};
    }

    AnsiString out{bestDrive, ':', '\\'};
    bool first = true;
    for (const fs::path& component : target.lexically_relative(bestRoot)) {
        if (component.empty() || component == ".") {
            continue;
        }
        if (!first) {
            out += '\\';
        }
        out += Utf8ToAnsi(component.string());
        first = false;
    }
    return out;
}

bool FileExists(const AnsiString& windowsPath, const Workstation& ws) {
    const auto full = Resolve(windowsPath, ws);
    if (!full || HasWildcard(*full)) {
        return false;
    }
    std::error_code ec;
    const auto status = fs::status(MapToHost(*full), ec);
    return fs::exists(status) && !fs::is_directory(status);
}

bool DirectoryExists(const AnsiString& windowsPath, const Workstation& ws) {
    const auto full = Resolve(windowsPath, ws);
    if (!full || HasWildcard(*full)) {
        return false;
    }
    std::error_code ec;
    return fs::is_directory(MapToHost(*full), ec);
}

AnsiString ExecutableFileName(const Workstation& ws) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? AnsiString() : WindowsPath(exe, ws);
}

AnsiString ExtractFilePath(const AnsiString& windowsPath) {
    const auto pos = windowsPath.find_last_of("\\:");
    return pos == AnsiString::npos ? AnsiString() : windowsPath.substr(0, pos + 1);
}

AnsiString ExtractFileName(const AnsiString& windowsPath) {
    const auto pos = windowsPath.find_last_of("\\:");
    return pos == AnsiString::npos ? windowsPath : windowsPath.substr(pos + 1);
}

}  // namespace platform
