// The class library's TRegistry on the workstation's hive (hive.h). Only
// HKEY_LOCAL_MACHINE is stored; HKEY_CLASSES_ROOT is its SOFTWARE\Classes
// key. Keys under any other root key do not exist.
//
// The current key is a path, not a handle: every call reads the hive file
// again (reads never write it), and every change is on disk before the call
// returns. Rights that include write access are refused when the hive file
// has no owner write bit, as Windows refuses them to a user without
// administrator rights.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "platform/exception.h"
#include "platform/regfile.h"
#include "platform/text.h"
#include "platform/win_types.h"
#include "platform/workstation.h"

namespace platform {

using HKEY = DWORD;
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002;
constexpr HKEY HKEY_USERS = 0x80000003;
constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005;

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr DWORD KEY_NOTIFY = 0x0010;
constexpr DWORD KEY_CREATE_LINK = 0x0020;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

class ERegistryException : public Exception {
  public:
    using Exception::Exception;
};

class TRegistry {
  public:
    // The hive is that of Workstation::Current() at construction.
    explicit TRegistry(DWORD access = KEY_ALL_ACCESS);
    explicit TRegistry(const Workstation& ws, DWORD access = KEY_ALL_ACCESS);
    ~TRegistry();  // closes the current key
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return rootKey_; }
    // A different root closes the current key.
    void SetRootKey(HKEY root);
    DWORD Access() const { return access_; }
    void SetAccess(DWORD access) { access_ = access; }

    // Whether a key is open (Delphi's CurrentKey <> 0), and its path as given.
    bool HasCurrentKey() const { return open_; }
    const AnsiString& CurrentPath() const { return currentPath_; }

    // "\A\B" is absolute under the root key; "A\B" is relative to the current
    // key when one is open, else to the root key. False (nothing changed)
    // when the key does not exist and cannot or may not be created, or
    // cannot be opened with Access().
    bool OpenKey(const AnsiString& key, bool canCreate);
    // Opens with KEY_READ, which becomes Access() on success, as Delphi does.
    bool OpenKeyReadOnly(const AnsiString& key);
    void CloseKey();

    bool KeyExists(const AnsiString& key) const;
    bool ValueExists(const AnsiString& name) const;

    // Empty for a missing value, no key open, or no data; the text up to its
    // first NUL for REG_SZ and REG_EXPAND_SZ (not expanded). Raises
    // ERegistryException "Type de données incorrect pour '<name>'" for other
    // types, "Echec à l'obtention des données pour '<name>'" when the hive
    // cannot be read.
    AnsiString ReadString(const AnsiString& name) const;
    // A REG_SZ (NUL included); the empty name is the default value. Raises
    // ERegistryException "Echec à la définition des données pour '<name>'"
    // when refused; the hive file is then unchanged.
    void WriteString(const AnsiString& name, const AnsiString& value);

    // The key and all its subkeys; false when it does not exist or may not be deleted.
    bool DeleteKey(const AnsiString& key);
    // A value of the current key; false when missing or refused.
    bool DeleteValue(const AnsiString& name);

    // Of the current key (empty when none is open), in stored order and case.
    std::vector<AnsiString> GetKeyNames() const;
    std::vector<AnsiString> GetValueNames() const;

  private:
    struct Target {
        std::vector<AnsiString> components;  // under the root key
        AnsiString hivePath;                 // under HKEY_LOCAL_MACHINE
        bool relativeToCurrent = false;
        bool emptySubKey = false;  // the key text named no subkey
    };
    std::optional<Target> Resolve(const AnsiString& key) const;
    bool Open(const AnsiString& key, bool canCreate, DWORD access);
    bool IsRootPath(const AnsiString& hivePath) const;
    std::vector<AnsiString> NamesOfCurrentKey(
        const std::function<void(const RegKey&, std::vector<AnsiString>&)>& collect) const;

    Workstation workstation_;
    HKEY rootKey_ = HKEY_CURRENT_USER;
    DWORD access_;
    bool open_ = false;
    DWORD keyAccess_ = 0;
    std::vector<AnsiString> currentComponents_;
    AnsiString currentHivePath_;
    AnsiString currentPath_;
};

// Plain access for tools: a value at a full key path under HKEY_LOCAL_MACHINE
// or HKEY_CLASSES_ROOT ("SOFTWARE\Quillorant"). Empty when the key or value
// is missing or the root is not stored; throws platform::Exception when the
// hive cannot be read.
std::optional<RegValue> QueryValue(HKEY root, const AnsiString& keyPath, const AnsiString& name,
                                   const Workstation& ws = Workstation::Current());
// Creates the key path as needed and stores the value; throws
// platform::Exception when refused.
void SetValue(HKEY root, const AnsiString& keyPath, const RegValue& value,
              const Workstation& ws = Workstation::Current());

// The path under HKEY_LOCAL_MACHINE of a key path under a stored root (a
// leading backslash is allowed); empty for other roots and invalid paths.
std::optional<AnsiString> HivePathOf(HKEY root, const AnsiString& keyPath);

}  // namespace platform
