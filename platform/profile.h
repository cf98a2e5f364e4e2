// The private-profile functions of Windows on the workstation's files, and the
// class library's TIniFile on top of them.
//
// INI files such as the product's Config.ini are shared with programs we do
// not control, so a write changes the bytes of one value and nothing else:
// comments, blank lines, order, spacing, line endings, a byte-order mark and
// the file's encoding (ANSI, UTF-8 with a BOM, UTF-16 LE) all stay as they
// were. Every write replaces the file atomically (platform/atomic_file.h).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "platform/text.h"
#include "platform/win_types.h"
#include "platform/workstation.h"

namespace platform {

struct ProfileEntry {
    AnsiString key;    // trimmed, as stored
    AnsiString value;  // trimmed, matching double quotes removed
};

// One INI file's content, parsed for lookups and edits, that gives back every
// byte it was not asked to change. Section and key names match without
// regard to case (Windows-1252 letters included); the first occurrence of a
// section or key is the one read and changed.
class ProfileDocument {
  public:
    ProfileDocument();  // an empty file
    ~ProfileDocument();
    ProfileDocument(const ProfileDocument&);
    ProfileDocument(ProfileDocument&&) noexcept;
    ProfileDocument& operator=(const ProfileDocument&);
    ProfileDocument& operator=(ProfileDocument&&) noexcept;

    // Any bytes: the encoding is taken from the byte-order mark (UTF-8,
    // UTF-16 LE or BE; none is Windows-1252). Names and values are seen in
    // Windows-1252, characters it lacks as '?'.
    static ProfileDocument Parse(std::string_view bytes);

    std::optional<AnsiString> Value(std::string_view section, std::string_view key) const;
    // The section's entries in file order; nullopt when it is missing.
    std::optional<std::vector<ProfileEntry>> Section(std::string_view section) const;
    bool HasSection(std::string_view section) const;

    // As WritePrivateProfileStringA: an existing key changes in place, a
    // missing key is appended after its section's last non-blank line, a
    // missing section is appended at the end. Raises EOSError for names or
    // values that cannot be stored as one line. The value is stored as given
    // and reads back blank-trimmed and unquoted, as on Windows.
    void SetValue(std::string_view section, std::string_view key, std::string_view value);
    // A new section at the end, after a blank line unless the document is
    // empty or already ends with one, holding `entries` in order (even
    // repeated keys). Raises EOSError, changing nothing, when the section
    // exists or an entry cannot be stored.
    void AddSection(std::string_view section, const std::vector<ProfileEntry>& entries);
    // WritePrivateProfileStringA's NULL-value and NULL-key forms: the first
    // matching key line, or the whole first matching section up to the next
    // one. False when there was nothing to remove.
    bool RemoveKey(std::string_view section, std::string_view key);
    bool RemoveSection(std::string_view section);

    // The file's bytes, in its own encoding and line endings (CRLF for a
    // document that had none).
    std::string Bytes() const;

    struct Line;  // opaque: one line's raw bytes and what they say

  private:
    // The section and its entries after the last line; checked already.
    void AppendSection(std::string_view section, const std::vector<ProfileEntry>& entries,
                       bool blankLineBefore);

    std::vector<Line> lines_;
    std::string bom_;
    std::string tail_;  // an odd last byte of a UTF-16 file, kept last
    int encoding_ = 0;
    bool crlf_ = true;
};

// The file's document (a Windows path on the workstation); nullopt when it
// does not exist. Raises EOSError when it exists but cannot be read.
std::optional<ProfileDocument> ReadProfile(const AnsiString& windowsPath,
                                           const Workstation& ws = Workstation::Current());
// One read-modify-write: the document (empty when the file is missing) goes
// through `change` and the result replaces the file atomically, keeping its
// mode. The folder is never created. A read-only file (no owner write bit),
// a missing folder or a refusal of the system raises EOSError, and the file
// is then as it was. An exception from `change` leaves the file untouched.
// A change that leaves the bytes as they were writes nothing. Updates of the
// files of one folder are serialised across processes by a lock on the
// folder itself, so `change` must not update a profile of that folder.
void UpdateProfile(const AnsiString& windowsPath,
                   const std::function<void(ProfileDocument&)>& change,
                   const Workstation& ws = Workstation::Current());

// Windows' functions, for one key (the enumeration forms with a null section
// or key are not offered: they copy nothing and return 0). The read copies
// at most size - 1 bytes and a NUL and returns the number of bytes copied,
// the default's (trailing spaces removed) when the file, section or key is
// missing or the file cannot be read. The write returns FALSE when refused;
// a null string removes the key, a null key the whole section. A file name
// without a folder is taken from the current folder.
DWORD GetPrivateProfileStringA(const char* appName, const char* keyName, const char* defaultValue,
                               char* returnedString, DWORD size, const char* fileName);
BOOL WritePrivateProfileStringA(const char* appName, const char* keyName, const char* string,
                                const char* fileName);

class EIniFileException : public Exception {
  public:
    using Exception::Exception;
};

// The class library's TIniFile: creating it neither reads nor creates the
// file; each access is one call of the functions above. The accessors are
// virtual, as in the class library, so that other stores can stand in.
class TIniFile {
  public:
    explicit TIniFile(AnsiString fileName) : fileName_(std::move(fileName)) {}
    virtual ~TIniFile() = default;
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;
    const AnsiString& FileName() const { return fileName_; }

    // At most 2047 characters, as read through a buffer of 2048 bytes.
    virtual AnsiString ReadString(const AnsiString& section, const AnsiString& ident,
                                  const AnsiString& defaultValue) const;
    // Raises EIniFileException "Impossible d'écrire dans <file>" when refused.
    virtual void WriteString(const AnsiString& section, const AnsiString& ident,
                             const AnsiString& value);

  private:
    AnsiString fileName_;
};

}  // namespace platform
