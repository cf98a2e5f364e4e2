#include "platform/hive.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/atomic_file.h"

namespace platform {
namespace {

AnsiString Name(const std::filesystem::path& p) {
    return Utf8ToAnsi(p.string());
}

// The file's bytes; empty when it does not exist.
std::optional<std::string> ReadBytes(const std::filesystem::path& path) {
    std::string bytes;
    if (const int err = ReadWholeFile(path, bytes); err != 0) {
        if (err == ENOENT) {
            return std::nullopt;
        }
        throw EOSError("Cannot read the registry hive '" + Name(path) + "': " + std::strerror(err));
    }
    return bytes;
}

RegKey Parse(const std::optional<std::string>& bytes, const std::filesystem::path& path) {
    if (!bytes || bytes->empty()) {
        return RegKey();
    }
    return ParseRegTree(*bytes, Name(path));
}

}  // namespace

Hive::Hive(const Workstation& ws) : path_(ws.HivePath()) {}

Hive::Hive(std::filesystem::path file) : path_(std::move(file)) {}

bool Hive::Exists() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0;
}

bool Hive::Writable() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    return S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) != 0;
}

RegKey Hive::Load() const {
    return Parse(ReadBytes(path_), path_);
}

void Hive::Update(const std::function<bool(RegKey&)>& change) {
    const auto checkWritable = [this] {
        if (!Writable()) {
            throw EOSError("The registry hive '" + Name(path_) + "' is read-only");
        }
    };
    checkWritable();
    FileLock lock(LockFileFor(path_));
    checkWritable();
    const std::optional<std::string> old = ReadBytes(path_);
    RegKey tree = Parse(old, path_);
    if (!change(tree)) {
        return;
    }
    const std::string text = WriteRegText(tree);
    if (old && *old == text) {
        return;
    }
    WriteFileAtomically(path_, text);
}

void Hive::Import(std::string_view regText, const AnsiString& source) {
    const std::vector<RegChange> changes = ParseRegText(regText, source);
    Update([&](RegKey& tree) {
        ApplyRegChanges(tree, changes);
        return true;
    });
}

std::string Hive::Export() const {
    return WriteRegText(Load());
}

void Hive::CreateIfMissing() {
    if (Exists()) {
        return;
    }
    FileLock lock(LockFileFor(path_));
    if (!Exists()) {
        WriteFileAtomically(path_, WriteRegText(RegKey()));
    }
}

}  // namespace platform
