// The registry as text: an in-memory tree of keys and values, and the
// REGEDIT4 .reg format that stores it (bytes in Windows-1252).
//
// The tree's root is HKEY_LOCAL_MACHINE; HKEY_CLASSES_ROOT is its
// SOFTWARE\Classes key. Key and value names keep the case they were created
// with and match without regard to case (platform::AnsiSameText); keys and
// values stay in the order they were created.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/exception.h"
#include "platform/text.h"
#include "platform/win_types.h"

namespace platform {

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// One value as Windows stores it: the data bytes of a REG_SZ include the
// terminating NUL, a REG_DWORD is 4 little-endian bytes.
struct RegValue {
    AnsiString name;  // empty: the key's default value (@)
    DWORD type = REG_NONE;
    std::string data;

    static RegValue String(AnsiString name, std::string_view text, DWORD type = REG_SZ);
    static RegValue Dword(AnsiString name, DWORD value);

    // REG_SZ or REG_EXPAND_SZ: the text up to the first NUL, not expanded.
    std::optional<AnsiString> Text() const;
    // REG_DWORD of 4 bytes.
    std::optional<DWORD> AsDword() const;

    bool operator==(const RegValue&) const = default;
};

// Raised for a .reg text that cannot be read; Line() is 0 when no line is at fault.
class RegFormatError : public Exception {
  public:
    RegFormatError(int line, const AnsiString& message, const AnsiString& source = {})
        : Exception((source.empty() ? AnsiString() : source + ": ") +
                    (line > 0 ? "line " + std::to_string(line) + ": " : AnsiString()) + message),
          line_(line) {}
    int Line() const { return line_; }

  private:
    int line_;
};

// Whether a key or value name can be stored in a .reg text (no NUL, CR, LF;
// key names also no backslash and not empty).
bool IsStorableValueName(std::string_view name);
bool IsStorableKeyName(std::string_view name);

// The components of a key path relative to a root ("SOFTWARE\Classes");
// empty text is the root itself, one trailing backslash is allowed. Empty
// when a component is empty or not storable.
std::optional<std::vector<AnsiString>> SplitKeyPath(std::string_view path);
AnsiString JoinKeyPath(const std::vector<AnsiString>& components);

class RegKey {
  public:
    explicit RegKey(AnsiString name = "HKEY_LOCAL_MACHINE");
    RegKey(RegKey&&) = default;
    RegKey& operator=(RegKey&&) = default;

    const AnsiString& Name() const { return name_; }

    const std::vector<std::unique_ptr<RegKey>>& SubKeys() const { return subKeys_; }
    RegKey* FindSubKey(std::string_view name);
    const RegKey* FindSubKey(std::string_view name) const;
    // The existing subkey of that name, or a new one (appended).
    RegKey& CreateSubKey(std::string_view name);
    bool DeleteSubKey(std::string_view name);

    const std::vector<RegValue>& Values() const { return values_; }
    const RegValue* FindValue(std::string_view name) const;
    // Replaces the data and type of an existing value (its name keeps its
    // case and its place), or appends a new value.
    void SetValue(std::string_view name, DWORD type, std::string data);
    bool DeleteValue(std::string_view name);

    // Paths below this key, as SplitKeyPath reads them. Find/Delete give
    // nullptr/false for invalid paths; Create gives nullptr for them.
    RegKey* FindPath(std::string_view path);
    const RegKey* FindPath(std::string_view path) const;
    RegKey* CreatePath(std::string_view path);
    bool DeletePath(std::string_view path);  // never this key itself

  private:
    void ReindexSubKeys();
    void ReindexValues();

    AnsiString name_;
    std::vector<std::unique_ptr<RegKey>> subKeys_;
    std::unordered_map<AnsiString, std::size_t> subKeyIndex_;  // by AnsiUpperCase(name)
    std::vector<RegValue> values_;
    std::unordered_map<AnsiString, std::size_t> valueIndex_;
};

// One statement of a .reg text, keys relative to HKEY_LOCAL_MACHINE.
struct RegChange {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    AnsiString keyPath;
    RegValue value;  // SetValue: all of it; DeleteValue: the name
    int line = 0;
};

// Reads a REGEDIT4 text (CRLF or LF line ends). Throws RegFormatError; the
// message starts with `source` ("file: ") when one is given.
std::vector<RegChange> ParseRegText(std::string_view text, const AnsiString& source = {});

// Merges the changes into a tree as regedit imports: keys and their parents
// created, values set, [-KEY] and "name"=- deletions done.
void ApplyRegChanges(RegKey& hklm, const std::vector<RegChange>& changes);

// The tree that a text describes, imported into an empty HKEY_LOCAL_MACHINE.
RegKey ParseRegTree(std::string_view text, const AnsiString& source = {});

// The canonical REGEDIT4 text of a tree, CRLF line ends. Throws
// platform::Exception for a name that the format cannot hold.
std::string WriteRegText(const RegKey& hklm);

}  // namespace platform
