#include "platform/profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/paths.h"

namespace platform {

using namespace platform::literals;

namespace {

constexpr int kAnsi = 0;
constexpr int kUtf8 = 1;
constexpr int kUtf16Le = 2;
constexpr int kUtf16Be = 3;

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

bool IsUtf16(int encoding) {
    return encoding == kUtf16Le || encoding == kUtf16Be;
}

std::size_t UnitSize(int encoding) {
    return IsUtf16(encoding) ? 2 : 1;
}

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

// Windows discards one pair of matching single or double quotes.
std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        return v.substr(1, v.size() - 2);
    }
    return v;
}

char16_t UnitAt(std::string_view raw, std::size_t at, int encoding) {
    const auto a = static_cast<unsigned char>(raw[at]);
    const auto b = static_cast<unsigned char>(raw[at + 1]);
    return static_cast<char16_t>(encoding == kUtf16Le ? a | (b << 8) : (a << 8) | b);
}

// The code unit at `at` of the file's encoding (a byte unless UTF-16).
char32_t CodeUnit(std::string_view raw, std::size_t at, int encoding) {
    if (IsUtf16(encoding)) {
        return UnitAt(raw, at, encoding);
    }
    return static_cast<unsigned char>(raw[at]);
}

AnsiString Decode(std::string_view raw, int encoding) {
    if (encoding == kAnsi) {
        return AnsiString(raw);
    }
    if (encoding == kUtf8) {
        return Utf8ToAnsi(raw);
    }
    AnsiString out;
    out.reserve(raw.size() / 2);
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
        const char16_t u = UnitAt(raw, i, encoding);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < raw.size()) {
            const char16_t low = UnitAt(raw, i + 2, encoding);
            if (low >= 0xDC00 && low < 0xE000) {
                i += 2;  // a pair is one character, which Windows-1252 lacks
            }
        }
        const int a = UnicodeToAnsiChar(u);
        out += a < 0 ? '?' : static_cast<char>(a);
    }
    return out;
}

std::string Encode(std::string_view ansi, int encoding) {
    if (encoding == kAnsi) {
        return std::string(ansi);
    }
    if (encoding == kUtf8) {
        return AnsiToUtf8(ansi);
    }
    std::string out;
    out.reserve(ansi.size() * 2);
    for (char c : ansi) {
        const char32_t u = AnsiCharToUnicode(static_cast<unsigned char>(c));  // always BMP
        const char hi = static_cast<char>(u >> 8);
        const char lo = static_cast<char>(u & 0xFF);
        if (encoding == kUtf16Le) {
            out += lo;
            out += hi;
        } else {
            out += hi;
            out += lo;
        }
    }
    return out;
}

[[noreturn]] void Refuse(const std::string& what) {
    throw EOSError(what);
}

bool OneLine(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void CheckSectionName(std::string_view section) {
    if (!OneLine(section) || section.find(']') != std::string_view::npos) {
        Refuse("Invalid profile section name: '" + std::string(section) + "'");
    }
}

void CheckEntry(std::string_view key, std::string_view value) {
    const std::string_view k = Trim(key);
    if (!OneLine(key) || k.empty() || k.find('=') != std::string_view::npos || k.front() == '[' ||
        k.front() == ';') {
        Refuse("Invalid profile key name: '" + std::string(key) + "'");
    }
    if (!OneLine(value)) {
        Refuse("Invalid profile value for the key '" + std::string(k) +
               "': it holds a line break or a NUL");
    }
}

}  // namespace

struct ProfileDocument::Line {
    enum class Kind { kBlank, kComment, kSection, kKey, kOther };

    std::string raw;          // in the file's encoding, line ending included
    std::size_t contentSize;  // raw bytes before the line ending
    Kind kind;
    AnsiString name;  // of the section or key, trimmed
    AnsiString value;
    std::size_t valueAt;  // raw offset after the key's '='

    // Every line, read or made, is classified here, so that an edited
    // document reads back exactly as it was built.
    static Line Make(std::string raw, int encoding) {
        Line l{std::move(raw), 0, Kind::kOther, {}, {}, 0};
        const std::size_t unit = UnitSize(encoding);
        std::size_t n = l.raw.size() - l.raw.size() % unit;
        if (n >= unit && CodeUnit(l.raw, n - unit, encoding) == '\n') {
            n -= unit;
            if (n >= unit && CodeUnit(l.raw, n - unit, encoding) == '\r') {
                n -= unit;
            }
        } else {
            n = l.raw.size();
        }
        l.contentSize = n;
        const AnsiString text = Decode(std::string_view(l.raw).substr(0, n), encoding);
        const std::string_view t = Trim(text);
        if (t.empty()) {
            l.kind = Kind::kBlank;
        } else if (t.front() == ';') {
            l.kind = Kind::kComment;
        } else if (t.front() == '[' && t.find(']') != std::string_view::npos) {
            l.kind = Kind::kSection;
            l.name = AnsiString(Trim(t.substr(1, t.find(']') - 1)));
        } else if (const auto eq = t.find('='); eq != std::string_view::npos) {
            l.kind = Kind::kKey;
            l.name = AnsiString(Trim(t.substr(0, eq)));
            l.value = AnsiString(Unquote(Trim(t.substr(eq + 1))));
            // '=' is one code unit that no other character's encoding contains.
            for (std::size_t i = 0; i < n; i += unit) {
                if (CodeUnit(l.raw, i, encoding) == '=') {
                    l.valueAt = i + unit;
                    break;
                }
            }
        }
        return l;
    }

    bool HasLineEnding() const { return contentSize < raw.size(); }
};

namespace {

using Line = ProfileDocument::Line;
using Kind = ProfileDocument::Line::Kind;

// The lines [first, last) of the first section of that name: the header's
// index and the next header's (or the end); nullopt when it is missing.
std::optional<std::pair<std::size_t, std::size_t>> FindSection(const std::vector<Line>& lines,
                                                               std::string_view section) {
    const std::string_view name = Trim(section);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Kind::kSection && AnsiSameText(lines[i].name, name)) {
            std::size_t end = i + 1;
            while (end < lines.size() && lines[end].kind != Kind::kSection) {
                ++end;
            }
            return std::make_pair(i, end);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<Line>& lines,
                                   std::pair<std::size_t, std::size_t> range,
                                   std::string_view key) {
    const std::string_view name = Trim(key);
    for (std::size_t i = range.first + 1; i < range.second; ++i) {
        if (lines[i].kind == Kind::kKey && AnsiSameText(lines[i].name, name)) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

ProfileDocument::ProfileDocument() = default;
ProfileDocument::~ProfileDocument() = default;
ProfileDocument::ProfileDocument(const ProfileDocument&) = default;
ProfileDocument::ProfileDocument(ProfileDocument&&) noexcept = default;
ProfileDocument& ProfileDocument::operator=(const ProfileDocument&) = default;
ProfileDocument& ProfileDocument::operator=(ProfileDocument&&) noexcept = default;

ProfileDocument ProfileDocument::Parse(std::string_view bytes) {
    ProfileDocument doc;
    for (const auto& [bom, encoding] :
         {std::pair{kUtf8Bom, kUtf8}, std::pair{kUtf16LeBom, kUtf16Le},
          std::pair{kUtf16BeBom, kUtf16Be}}) {
        if (bytes.substr(0, bom.size()) == bom) {
            doc.bom_ = std::string(bom);
            doc.encoding_ = encoding;
            bytes.remove_prefix(bom.size());
            break;
        }
    }
    const std::size_t unit = UnitSize(doc.encoding_);
    if (bytes.size() % unit != 0) {
        doc.tail_ = std::string(bytes.substr(bytes.size() - 1));
        bytes.remove_suffix(1);
    }
    bool styleKnown = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); i += unit) {
        if (CodeUnit(bytes, i, doc.encoding_) != '\n') {
            continue;
        }
        if (!styleKnown) {
            doc.crlf_ = i >= unit && CodeUnit(bytes, i - unit, doc.encoding_) == '\r';
            styleKnown = true;
        }
        doc.lines_.push_back(
            Line::Make(std::string(bytes.substr(start, i + unit - start)), doc.encoding_));
        start = i + unit;
    }
    if (start < bytes.size()) {
        doc.lines_.push_back(Line::Make(std::string(bytes.substr(start)), doc.encoding_));
    }
    return doc;
}

std::optional<AnsiString> ProfileDocument::Value(std::string_view section,
                                                 std::string_view key) const {
    const auto range = FindSection(lines_, section);
    if (!range) {
        return std::nullopt;
    }
    const auto at = FindKey(lines_, *range, key);
    if (!at) {
        return std::nullopt;
    }
    return lines_[*at].value;
}

std::optional<std::vector<ProfileEntry>> ProfileDocument::Section(std::string_view section) const {
    const auto range = FindSection(lines_, section);
    if (!range) {
        return std::nullopt;
    }
    std::vector<ProfileEntry> entries;
    for (std::size_t i = range->first + 1; i < range->second; ++i) {
        if (lines_[i].kind == Kind::kKey) {
            entries.push_back({lines_[i].name, lines_[i].value});
        }
    }
    return entries;
}

bool ProfileDocument::HasSection(std::string_view section) const {
    return FindSection(lines_, section).has_value();
}

namespace {

// The line ending that new lines get, in the file's encoding.
std::string LineEnding(bool crlf, int encoding) {
    return Encode(crlf ? "\r\n" : "\n", encoding);
}

// A line that was the file's last one, without a line break, gets one
// before anything follows it.
void EndLine(Line& line, bool crlf, int encoding) {
    if (!line.HasLineEnding()) {
        line = Line::Make(line.raw + LineEnding(crlf, encoding), encoding);
    }
}

// A new key line: the name trimmed, the value as given.
Line EntryLine(std::string_view key, std::string_view value, bool crlf, int encoding) {
    return Line::Make(Encode(std::string(Trim(key)) + "=" + std::string(value), encoding) +
                          LineEnding(crlf, encoding),
                      encoding);
}

}  // namespace

void ProfileDocument::SetValue(std::string_view section, std::string_view key,
                               std::string_view value) {
    CheckSectionName(section);
    CheckEntry(key, value);
    const auto range = FindSection(lines_, section);
    if (!range) {
        AppendSection(section, {{AnsiString(key), AnsiString(value)}}, false);
        return;
    }
    if (const auto at = FindKey(lines_, *range, key)) {
        Line& line = lines_[*at];
        line = Line::Make(line.raw.substr(0, line.valueAt) + Encode(value, encoding_) +
                              line.raw.substr(line.contentSize),
                          encoding_);
        return;
    }
    // After the section's last non-blank line, so that the blank lines that
    // separate it from the next one stay between them.
    std::size_t last = range->second - 1;
    while (last > range->first && lines_[last].kind == Kind::kBlank) {
        --last;
    }
    EndLine(lines_[last], crlf_, encoding_);
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1),
                  EntryLine(key, value, crlf_, encoding_));
}

void ProfileDocument::AddSection(std::string_view section,
                                 const std::vector<ProfileEntry>& entries) {
    CheckSectionName(section);
    for (const ProfileEntry& e : entries) {
        CheckEntry(e.key, e.value);
    }
    if (HasSection(section)) {
        Refuse("The profile section '" + std::string(Trim(section)) + "' already exists");
    }
    AppendSection(section, entries, true);
}

void ProfileDocument::AppendSection(std::string_view section,
                                    const std::vector<ProfileEntry>& entries,
                                    bool blankLineBefore) {
    const std::string eol = LineEnding(crlf_, encoding_);
    if (!lines_.empty()) {
        EndLine(lines_.back(), crlf_, encoding_);
        if (blankLineBefore && lines_.back().kind != Kind::kBlank) {
            lines_.push_back(Line::Make(eol, encoding_));
        }
    }
    lines_.push_back(
        Line::Make(Encode("[" + std::string(Trim(section)) + "]", encoding_) + eol, encoding_));
    for (const ProfileEntry& e : entries) {
        lines_.push_back(EntryLine(e.key, e.value, crlf_, encoding_));
    }
}

bool ProfileDocument::RemoveKey(std::string_view section, std::string_view key) {
    const auto range = FindSection(lines_, section);
    if (!range) {
        return false;
    }
    const auto at = FindKey(lines_, *range, key);
    if (!at) {
        return false;
    }
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*at));
    return true;
}

bool ProfileDocument::RemoveSection(std::string_view section) {
    const auto range = FindSection(lines_, section);
    if (!range) {
        return false;
    }
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->first),
                 lines_.begin() + static_cast<std::ptrdiff_t>(range->second));
    return true;
}

std::string ProfileDocument::Bytes() const {
    std::string out = bom_;
    for (const Line& line : lines_) {
        out += line.raw;
    }
    out += tail_;
    return out;
}

namespace {

[[noreturn]] void Fail(const char* verb, const AnsiString& windowsPath, const std::string& why) {
    throw EOSError(std::string(verb) + " '" + windowsPath + "': " + why);
}

// The file's bytes; nullopt when it does not exist. The owner's permission
// bits decide, as for the hive, so that root is refused the same way.
std::optional<std::string> ReadFile(const std::filesystem::path& host,
                                    const AnsiString& windowsPath, bool forWriting) {
    const char* verb = forWriting ? "Cannot write" : "Cannot read";
    struct stat st {};
    if (::stat(host.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return std::nullopt;
        }
        Fail(verb, windowsPath, std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        Fail(verb, windowsPath, "it is a folder");
    }
    if (!S_ISREG(st.st_mode)) {
        Fail(verb, windowsPath, "it is not a file");
    }
    if ((st.st_mode & S_IRUSR) == 0) {
        Fail(verb, windowsPath, std::strerror(EACCES));
    }
    if (forWriting && (st.st_mode & S_IWUSR) == 0) {
        Fail(verb, windowsPath, "the file is read-only");
    }
    std::string bytes;
    if (const int err = ReadWholeFile(host, bytes); err != 0) {
        Fail(verb, windowsPath, std::strerror(err));
    }
    return bytes;
}

// An advisory lock on the folder itself: it serialises the read-modify-write
// cycles of its INI files without leaving a lock file in the user's folder.
// Where the system offers no lock, the atomic replace still holds.
class FolderLock {
  public:
    explicit FolderLock(const std::filesystem::path& folder)
        : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
            }
        }
    }
    ~FolderLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    int fd_;
};

}  // namespace

std::optional<ProfileDocument> ReadProfile(const AnsiString& windowsPath, const Workstation& ws) {
    const auto host = HostPath(ExpandFileName(windowsPath, ws), ws);
    if (!host) {
        return std::nullopt;
    }
    const auto bytes = ReadFile(*host, windowsPath, false);
    if (!bytes) {
        return std::nullopt;
    }
    return ProfileDocument::Parse(*bytes);
}

void UpdateProfile(const AnsiString& windowsPath,
                   const std::function<void(ProfileDocument&)>& change, const Workstation& ws) {
    const auto host = HostPath(ExpandFileName(windowsPath, ws), ws);
    if (!host) {
        Fail("Cannot write", windowsPath, "the path is not on a drive of this workstation");
    }
    const std::filesystem::path folder = host->parent_path();
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Fail("Cannot write", windowsPath, "the folder does not exist");
    }
    FolderLock lock(folder);
    const std::optional<std::string> old = ReadFile(*host, windowsPath, true);
    ProfileDocument doc = old ? ProfileDocument::Parse(*old) : ProfileDocument();
    change(doc);
    const std::string bytes = doc.Bytes();
    if (old ? *old == bytes : bytes.empty()) {
        return;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        Fail("Cannot write", windowsPath, std::strerror(errno));
    }
    try {
        WriteFileAtomically(*host, bytes);
    } catch (const EOSError& e) {
        Fail("Cannot write", windowsPath, e.Message());
    }
}

DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultValue,
                               char* returnedString, DWORD size, const char* fileName) {
    if (returnedString == nullptr || size == 0) {
        return 0;
    }
    std::optional<AnsiString> value;
    if (appName != nullptr && keyName != nullptr && fileName != nullptr) {
        try {
            if (const auto doc = ReadProfile(fileName)) {
                value = doc->Value(appName, keyName);
            }
        } catch (const std::exception&) {
            // Windows reads an unreadable file as a missing one.
        }
        if (!value) {
            std::string_view d = defaultValue != nullptr ? defaultValue : "";
            while (!d.empty() && d.back() == ' ') {
                d.remove_suffix(1);
            }
            value = AnsiString(d);
        }
    }
    const std::string_view text = value ? std::string_view(*value) : std::string_view();
    const std::size_t n = std::min<std::size_t>(text.substr(0, text.find('\0')).size(), size - 1);
    if (n > 0) {
        std::memcpy(returnedString, text.data(), n);
    }
    returnedString[n] = '\0';
    return static_cast<DWORD>(n);
}

BOOL WritePrivateProfileStringA(const char* appName, const char* keyName, const char* string,
                                const char* fileName) {
    if (appName == nullptr || fileName == nullptr) {
        return FALSE;
    }
    try {
        UpdateProfile(fileName, [&](ProfileDocument& doc) {
            if (keyName == nullptr) {
                doc.RemoveSection(appName);
            } else if (string == nullptr) {
                doc.RemoveKey(appName, keyName);
            } else {
                doc.SetValue(appName, keyName, string);
            }
        });
    } catch (const std::exception&) {
        return FALSE;
    }
    return TRUE;
}

AnsiString TIniFile::ReadString(const AnsiString& section, const AnsiString& ident,
                                const AnsiString& defaultValue) const {
    char buffer[2048];
    const DWORD n = GetPrivateProfileStringA(section.c_str(), ident.c_str(), defaultValue.c_str(),
                                             buffer, sizeof buffer, fileName_.c_str());
    return AnsiString(buffer, n);
}

void TIniFile::WriteString(const AnsiString& section, const AnsiString& ident,
                           const AnsiString& value) {
    if (!WritePrivateProfileStringA(section.c_str(), ident.c_str(), value.c_str(),
                                    fileName_.c_str())) {
        throw EIniFileException("Impossible d'écrire dans "_ansi + fileName_);
    }
}

}  // namespace platform
