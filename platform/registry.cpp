#include "platform/registry.h"

#include <functional>

#include "platform/hive.h"

namespace platform {
namespace {

using namespace platform::literals;

// Runs one change of the hive; true when it changed something. A refusal
// (read-only or malformed hive, I/O error) is false and leaves the file as
// it was, which is all the boolean calls of the accessor report.
bool TryUpdate(Hive& hive, const std::function<bool(RegKey&)>& change) {
    bool changed = false;
    try {
        hive.Update([&](RegKey& tree) {
            changed = change(tree);
            return changed;
        });
    } catch (const std::exception&) {
        return false;
    }
    return changed;
}

constexpr std::string_view kClasses = "SOFTWARE\\Classes";

// Rights that change the key or its values: KEY_SET_VALUE, KEY_CREATE_SUB_KEY,
// KEY_CREATE_LINK, DELETE, WRITE_DAC, WRITE_OWNER.
constexpr DWORD kWriteRights = 0x0002 | 0x0004 | 0x0020 | 0x10000 | 0x40000 | 0x80000;

std::optional<AnsiString> MapToHive(HKEY root, const std::vector<AnsiString>& components) {
    const AnsiString path = JoinKeyPath(components);
    if (root == HKEY_LOCAL_MACHINE) {
        return path;
    }
    if (root == HKEY_CLASSES_ROOT) {
        return path.empty() ? AnsiString(kClasses) : AnsiString(kClasses) + "\\" + path;
    }
    return std::nullopt;
}

AnsiString Quoted(const AnsiString& name) {
    return "'" + name + "'";
}

}  // namespace

TRegistry::TRegistry(DWORD access) : TRegistry(Workstation::Current(), access) {}

TRegistry::TRegistry(const Workstation& ws, DWORD access) : workstation_(ws), access_(access) {}

TRegistry::~TRegistry() {
    CloseKey();
}

void TRegistry::SetRootKey(HKEY root) {
    if (root != rootKey_) {
        rootKey_ = root;
        CloseKey();
    }
}

void TRegistry::CloseKey() {
    open_ = false;
    keyAccess_ = 0;
    currentComponents_.clear();
    currentHivePath_.clear();
    currentPath_.clear();
}

std::optional<TRegistry::Target> TRegistry::Resolve(const AnsiString& key) const {
    std::string_view s = key;
    const bool relative = s.empty() || s.front() != '\\';
    if (!relative) {
        s.remove_prefix(1);
    }
    const auto parts = SplitKeyPath(s);
    if (!parts) {
        return std::nullopt;
    }
    Target t;
    t.relativeToCurrent = relative && open_;
    if (t.relativeToCurrent) {
        t.components = currentComponents_;
    }
    t.components.insert(t.components.end(), parts->begin(), parts->end());
    t.emptySubKey = parts->empty();
    const auto hivePath = MapToHive(rootKey_, t.components);
    if (!hivePath) {
        return std::nullopt;
    }
    t.hivePath = *hivePath;
    return t;
}

bool TRegistry::Open(const AnsiString& key, bool canCreate, DWORD access) {
    const auto t = Resolve(key);
    if (!t) {
        return false;
    }
    Hive hive(workstation_);
    if ((access & kWriteRights) != 0 && !hive.Writable()) {
        return false;
    }
    bool exists = t->components.empty();
    try {
        exists = exists || hive.Load().FindPath(t->hivePath) != nullptr;
    } catch (const std::exception&) {
        return false;
    }
    if (!exists) {
        if (!canCreate || t->emptySubKey) {
            return false;
        }
        if (t->relativeToCurrent && (keyAccess_ & KEY_CREATE_SUB_KEY) == 0) {
            return false;
        }
        if (!TryUpdate(hive,
                       [&](RegKey& tree) { return tree.CreatePath(t->hivePath) != nullptr; })) {
            return false;
        }
    }
    open_ = true;
    keyAccess_ = access;
    currentComponents_ = t->components;
    currentHivePath_ = t->hivePath;
    currentPath_ = JoinKeyPath(t->components);
    return true;
}

bool TRegistry::OpenKey(const AnsiString& key, bool canCreate) {
    return Open(key, canCreate, access_);
}

bool TRegistry::OpenKeyReadOnly(const AnsiString& key) {
    if (!Open(key, false, KEY_READ)) {
        return false;
    }
    access_ = KEY_READ;
    return true;
}

bool TRegistry::KeyExists(const AnsiString& key) const {
    const auto t = Resolve(key);
    if (!t) {
        return false;
    }
    if (t->components.empty()) {
        return true;
    }
    try {
        return Hive(workstation_).Load().FindPath(t->hivePath) != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

bool TRegistry::ValueExists(const AnsiString& name) const {
    if (!open_) {
        return false;
    }
    try {
        const RegKey tree = Hive(workstation_).Load();
        const RegKey* key = tree.FindPath(currentHivePath_);
        return key != nullptr && key->FindValue(name) != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

AnsiString TRegistry::ReadString(const AnsiString& name) const {
    if (!open_) {
        return {};
    }
    RegKey tree;
    try {
        tree = Hive(workstation_).Load();
    } catch (const std::exception&) {
        throw ERegistryException("Echec à l'obtention des données pour "_ansi + Quoted(name));
    }
    const RegKey* key = tree.FindPath(currentHivePath_);
    const RegValue* value = key == nullptr ? nullptr : key->FindValue(name);
    if (value == nullptr || value->data.empty()) {
        return {};
    }
    if (auto text = value->Text()) {
        return *text;
    }
    throw ERegistryException("Type de données incorrect pour "_ansi + Quoted(name));
}

void TRegistry::WriteString(const AnsiString& name, const AnsiString& value) {
    const AnsiString failed = "Echec à la définition des données pour "_ansi + Quoted(name);
    if (!open_ || (keyAccess_ & KEY_SET_VALUE) == 0 || !IsStorableValueName(name)) {
        throw ERegistryException(failed);
    }
    try {
        Hive(workstation_).Update([&](RegKey& tree) {
            RegKey* key = tree.FindPath(currentHivePath_);
            if (key == nullptr && currentComponents_.empty()) {
                key = tree.CreatePath(currentHivePath_);  // HKEY_CLASSES_ROOT itself
            }
            if (key == nullptr) {
                throw ERegistryException(failed);  // deleted since it was opened
            }
            key->SetValue(name, REG_SZ, value + '\0');
            return true;
        });
    } catch (const std::exception&) {
        throw ERegistryException(failed);
    }
}

bool TRegistry::DeleteKey(const AnsiString& key) {
    const auto t = Resolve(key);
    if (!t || t->emptySubKey) {
        return false;
    }
    Hive hive(workstation_);
    return TryUpdate(hive, [&](RegKey& tree) { return tree.DeletePath(t->hivePath); });
}

bool TRegistry::DeleteValue(const AnsiString& name) {
    if (!open_ || (keyAccess_ & KEY_SET_VALUE) == 0) {
        return false;
    }
    Hive hive(workstation_);
    return TryUpdate(hive, [&](RegKey& tree) {
        RegKey* key = tree.FindPath(currentHivePath_);
        return key != nullptr && key->DeleteValue(name);
    });
}

std::vector<AnsiString> TRegistry::GetKeyNames() const {
    return NamesOfCurrentKey([](const RegKey& key, std::vector<AnsiString>& names) {
        for (const auto& sub : key.SubKeys()) {
            names.push_back(sub->Name());
        }
    });
}

std::vector<AnsiString> TRegistry::GetValueNames() const {
    return NamesOfCurrentKey([](const RegKey& key, std::vector<AnsiString>& names) {
        for (const RegValue& v : key.Values()) {
            names.push_back(v.name);
        }
    });
}

std::vector<AnsiString> TRegistry::NamesOfCurrentKey(
    const std::function<void(const RegKey&, std::vector<AnsiString>&)>& collect) const {
    std::vector<AnsiString> names;
    if (!open_) {
        return names;
    }
    try {
        const RegKey tree = Hive(workstation_).Load();
        if (const RegKey* key = tree.FindPath(currentHivePath_)) {
            collect(*key, names);
        }
    } catch (const std::exception&) {
        // An unreadable hive lists nothing, as a refused enumeration does.
    }
    return names;
}

std::optional<AnsiString> HivePathOf(HKEY root, const AnsiString& keyPath) {
    std::string_view s = keyPath;
    if (!s.empty() && s.front() == '\\') {
        s.remove_prefix(1);
    }
    const auto parts = SplitKeyPath(s);
    if (!parts) {
        return std::nullopt;
    }
    return MapToHive(root, *parts);
}

std::optional<RegValue> QueryValue(HKEY root, const AnsiString& keyPath, const AnsiString& name,
                                   const Workstation& ws) {
    const auto path = HivePathOf(root, keyPath);
    if (!path) {
        return std::nullopt;
    }
    const RegKey tree = Hive(ws).Load();
    const RegKey* key = tree.FindPath(*path);
    const RegValue* value = key == nullptr ? nullptr : key->FindValue(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return *value;
}

void SetValue(HKEY root, const AnsiString& keyPath, const RegValue& value, const Workstation& ws) {
    const auto path = HivePathOf(root, keyPath);
    if (!path || !IsStorableValueName(value.name)) {
        throw ERegistryException("Invalid registry key or value name: " + keyPath + " " +
                                 Quoted(value.name));
    }
    Hive(ws).Update([&](RegKey& tree) {
        tree.CreatePath(*path)->SetValue(value.name, value.type, value.data);
        return true;
    });
}

}  // namespace platform
