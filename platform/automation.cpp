// Late-bound automation objects (see automation.h).
#include "platform/automation.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>

#include "platform/hive.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "platform/workstation.h"

namespace platform {

using namespace platform::literals;

// ---- GUIDs -------------------------------------------------------------------

namespace {

// `digits` hex digits at text[at], or nothing.
std::optional<std::uint32_t> HexField(std::string_view text, std::size_t at, std::size_t digits) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int d = HexDigitValue(text[at + i]);
        if (d < 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    return value;
}

}  // namespace

HRESULT CLSIDFromString(std::string_view text, CLSID* clsid) {
    if (clsid == nullptr) {
        return E_POINTER;
    }
    // {00000000-0000-0000-0000-000000000000}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-') {
        return CO_E_CLASSSTRING;
    }
    GUID g;
    const auto d1 = HexField(text, 1, 8);
    const auto d2 = HexField(text, 10, 4);
    const auto d3 = HexField(text, 15, 4);
    if (!d1 || !d2 || !d3) {
        return CO_E_CLASSSTRING;
    }
    g.Data1 = *d1;
    g.Data2 = static_cast<std::uint16_t>(*d2);
    g.Data3 = static_cast<std::uint16_t>(*d3);
    const std::size_t at[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (std::size_t i = 0; i < 8; ++i) {
        const auto b = HexField(text, at[i], 2);
        if (!b) {
            return CO_E_CLASSSTRING;
        }
        g.Data4[i] = static_cast<std::uint8_t>(*b);
    }
    *clsid = g;
    return S_OK;
}

AnsiString GUIDToString(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

// ---- BSTR and VARIANT ----------------------------------------------------------

// The length sits in the four bytes before the text, as on Windows.
BSTR SysAllocStringLen(const char* text, UINT length) {
    auto* block = static_cast<char*>(std::malloc(sizeof(UINT) + length + 1));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &length, sizeof length);
    char* data = block + sizeof(UINT);
    if (text != nullptr && length > 0) {
        std::memcpy(data, text, length);
    } else if (length > 0) {
        std::memset(data, 0, length);
    }
    data[length] = '\0';
    return data;
}

BSTR SysAllocString(std::string_view text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

UINT SysStringLen(BSTR text) {
    if (text == nullptr) {
        return 0;
    }
    UINT length = 0;
    std::memcpy(&length, text - sizeof(UINT), sizeof length);
    return length;
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(text - sizeof(UINT));
    }
}

void VariantInit(VARIANT* v) {
    v->vt = VT_EMPTY;
    v->lVal = 0;
}

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) {
        return E_INVALIDARG;
    }
    if (v->vt == VT_BSTR) {
        SysFreeString(v->bstrVal);
    } else if ((v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) && v->punkVal != nullptr) {
        v->punkVal->Release();
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* target, const VARIANT* source) {
    if (target == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (target == source) {
        return S_OK;
    }
    VARIANT copy = *source;
    if (source->vt == VT_BSTR) {
        copy.bstrVal = source->bstrVal == nullptr
                           ? nullptr
                           : SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        if (source->bstrVal != nullptr && copy.bstrVal == nullptr) {
            return E_OUTOFMEMORY;
        }
    } else if ((source->vt == VT_DISPATCH || source->vt == VT_UNKNOWN) &&
               source->punkVal != nullptr) {
        source->punkVal->AddRef();
    }
    VariantClear(target);
    *target = copy;
    return S_OK;
}

// ---- OleVariant ----------------------------------------------------------------

OleVariant::OleVariant(std::int32_t value) {
    v_.vt = VT_I4;
    v_.lVal = value;
}

OleVariant::OleVariant(bool value) {
    v_.vt = VT_BOOL;
    v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

OleVariant::OleVariant(const AnsiString& text) {
    v_.vt = VT_BSTR;
    v_.bstrVal = SysAllocString(text);
    if (v_.bstrVal == nullptr) {
        throw std::bad_alloc();
    }
}

OleVariant OleVariant::Attach(IDispatch* object) {
    OleVariant v;
    v.v_.vt = VT_DISPATCH;
    v.v_.pdispVal = object;
    return v;
}

OleVariant OleVariant::Take(VARIANT& raw) {
    OleVariant v;
    v.v_ = raw;
    VariantInit(&raw);
    return v;
}

OleVariant OleVariant::Null() {
    OleVariant v;
    v.v_.vt = VT_NULL;
    return v;
}

OleVariant::OleVariant(const OleVariant& other) {
    VariantInit(&v_);
    if (FAILED(VariantCopy(&v_, &other.v_))) {
        throw std::bad_alloc();
    }
}

OleVariant::OleVariant(OleVariant&& other) noexcept : v_(other.v_) {
    VariantInit(&other.v_);
}

OleVariant& OleVariant::operator=(OleVariant other) noexcept {
    std::swap(v_, other.v_);
    return *this;
}

// ---- error texts ---------------------------------------------------------------

AnsiString SysErrorMessage(HRESULT hr) {
    switch (static_cast<std::uint32_t>(hr)) {
        case 0x00000000:
            return "L'opération a réussi."_ansi;
        case 0x80004001:
            return "Non implémenté"_ansi;
        case 0x80004002:
            return "Cette interface n'est pas prise en charge"_ansi;
        case 0x80004003:
            return "Pointeur non valide"_ansi;
        case 0x80004005:
            return "Erreur non spécifiée"_ansi;
        case 0x8000FFFF:
            return "Défaillance irrémédiable"_ansi;
        case 0x8007000E:
            return "Mémoire insuffisante pour cette opération."_ansi;
        case 0x80070057:
            return "Paramètre incorrect."_ansi;
        case 0x8007007E:
            return "Le module spécifié est introuvable."_ansi;
        case 0x800700C1:
            return "Cette application n'est pas une application Win32 valide."_ansi;
        case 0x80040110:
            return "La classe ne prend pas en charge l'agrégation"_ansi;
        case 0x80040111:
            return "ClassFactory ne peut pas fournir la classe demandée"_ansi;
        case 0x80040150:
            return "Impossible de lire la clé dans le Registre"_ansi;
        case 0x80040154:
            return "Classe non enregistrée"_ansi;
        case 0x800401F0:
            return "CoInitialize n'a pas été appelé."_ansi;
        case 0x800401F3:
            return "Chaîne de classe non valide"_ansi;
        case 0x800401F9:
            return "Erreur dans la DLL"_ansi;
        case 0x80080005:
            return "Échec de l'exécution du serveur"_ansi;
        case 0x80020003:
            return "Membre introuvable."_ansi;
        case 0x80020005:
            return "Le type ne correspond pas."_ansi;
        case 0x80020006:
            return "Nom inconnu."_ansi;
        case 0x80020007:
            return "Aucun argument nommé."_ansi;
        case 0x80020008:
            return "Type de variable incorrect."_ansi;
        case 0x80020009:
            return "Exception."_ansi;
        case 0x8002000A:
            return "Dépassement de capacité."_ansi;
        case 0x8002000B:
            return "Index non valide."_ansi;
        case 0x8002000E:
            return "Nombre de paramètres non valide."_ansi;
        default: {
            char buf[48];
            std::snprintf(buf, sizeof buf, "Erreur OLE %08X", static_cast<unsigned>(hr));
            return buf;
        }
    }
}

namespace {

constexpr HRESULT REGDB_E_READREGDB = Hr(0x80040150);
constexpr HRESULT HRESULT_BAD_EXE_FORMAT = Hr(0x800700C1);
constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = Hr(0x80080005);

[[noreturn]] void RaiseSys(HRESULT hr, const AnsiString& detail) {
    throw EOleSysError(SysErrorMessage(hr) + " (" + detail + ")", hr);
}

// ---- the apartment and the loaded libraries ---------------------------------------

thread_local int apartmentCount = 0;

// Libraries stay loaded for the process once a class of theirs has been
// created, as COM keeps in-process servers until the apartment ends.
struct LoadedLibraries {
    std::mutex mutex;
    std::map<AnsiString, HMODULE> byPath;
};

LoadedLibraries& Libraries() {
    static LoadedLibraries libraries;
    return libraries;
}

// The InprocServer32 library of a class, from one reading of the hive.
struct ClassRegistration {
    bool classKey = false;
    bool localServer = false;
    std::optional<AnsiString> inprocServer;
};

std::optional<AnsiString> DefaultText(const RegKey* key) {
    if (key == nullptr) {
        return std::nullopt;
    }
    const RegValue* v = key->FindValue("");
    if (v == nullptr) {
        return AnsiString();
    }
    return v->Text().value_or(AnsiString());
}

HRESULT Activate(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid, void** object,
                 AnsiString* detail) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    const AnsiString clsidText = GUIDToString(clsid);
    *detail = clsidText;
    if (apartmentCount <= 0) {
        return CO_E_NOTINITIALIZED;
    }
    if ((context & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)) == 0) {
        return E_INVALIDARG;
    }
    ClassRegistration reg;
    try {
        const RegKey tree = Hive().Load();
        const RegKey* key = tree.FindPath("SOFTWARE\\Classes\\CLSID\\" + clsidText);
        reg.classKey = key != nullptr;
        if (key != nullptr) {
            if ((context & CLSCTX_INPROC_SERVER) != 0) {
                reg.inprocServer = DefaultText(key->FindSubKey("InprocServer32"));
            }
            reg.localServer = key->FindSubKey("LocalServer32") != nullptr;
        }
    } catch (const std::exception& e) {
        *detail = clsidText + ": " + e.what();
        return REGDB_E_READREGDB;
    }
    if (!reg.inprocServer) {
        // A local server would be a process of its own; none can be started here.
        if (reg.localServer && (context & CLSCTX_LOCAL_SERVER) != 0) {
            *detail = clsidText + ", LocalServer32";
            return CO_E_SERVER_EXEC_FAILURE;
        }
        return REGDB_E_CLASSNOTREG;
    }
    const AnsiString library = *reg.inprocServer;
    *detail = clsidText + ", " + library;
    if (library.empty()) {
        return HRESULT_MOD_NOT_FOUND;
    }
    const AnsiString hostPath = LibrarySearchPath(library);
    if (hostPath.empty()) {
        return HRESULT_MOD_NOT_FOUND;
    }
    HMODULE module = nullptr;
    {
        LoadedLibraries& libs = Libraries();
        const std::lock_guard lock(libs.mutex);
        auto it = libs.byPath.find(hostPath);
        if (it == libs.byPath.end()) {
            module = LoadLibraryA(library.c_str());
            if (module == nullptr) {
                return HRESULT_BAD_EXE_FORMAT;
            }
            libs.byPath.emplace(hostPath, module);
        } else {
            module = it->second;
        }
    }
    const auto getClassObject =
        reinterpret_cast<DllGetClassObjectProc>(GetProcAddress(module, "DllGetClassObject"));
    if (getClassObject == nullptr) {
        *detail = library + ": DllGetClassObject";
        return CO_E_ERRORINDLL;
    }
    if (const auto attach = reinterpret_cast<DllAttachWorkstationProc>(
            GetProcAddress(module, "DllAttachWorkstation"))) {
        attach(Workstation::Current().Root().c_str());
    }
    void* factoryPtr = nullptr;
    HRESULT hr = getClassObject(&clsid, &IID_IClassFactory, &factoryPtr);
    if (FAILED(hr) || factoryPtr == nullptr) {
        return FAILED(hr) ? hr : CO_E_ERRORINDLL;
    }
    auto* factory = static_cast<IClassFactory*>(factoryPtr);
    hr = factory->CreateInstance(outer, iid, object);
    factory->Release();
    if (SUCCEEDED(hr) && *object == nullptr) {
        return E_UNEXPECTED;
    }
    return hr;
}

}  // namespace

HRESULT CoInitialize(void*) {
    // S_FALSE for a thread already initialised, as COM answers.
    return apartmentCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (apartmentCount > 0) {
        --apartmentCount;
    }
}

HRESULT CLSIDFromProgID(const AnsiString& progId, CLSID* clsid) {
    if (clsid == nullptr) {
        return E_POINTER;
    }
    if (progId.empty() || !IsStorableKeyName(progId)) {
        return CO_E_CLASSSTRING;
    }
    std::optional<RegValue> value;
    try {
        value = QueryValue(HKEY_CLASSES_ROOT, progId + "\\CLSID", "");
    } catch (const std::exception&) {
        return REGDB_E_READREGDB;
    }
    const auto text = value ? value->Text() : std::nullopt;
    if (!text) {
        return CO_E_CLASSSTRING;
    }
    return CLSIDFromString(*text, clsid);
}

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                         void** object) {
    AnsiString detail;
    return Activate(clsid, outer, context, iid, object, &detail);
}

OleVariant CreateOleObject(const AnsiString& progId) {
    CLSID clsid;
    if (const HRESULT hr = CLSIDFromProgID(progId, &clsid); FAILED(hr)) {
        RaiseSys(hr, "'" + progId + "'");
    }
    AnsiString detail;
    void* object = nullptr;
    const HRESULT hr = Activate(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                IID_IDispatch, &object, &detail);
    if (FAILED(hr)) {
        RaiseSys(hr, "'" + progId + "' " + detail);
    }
    return OleVariant::Attach(static_cast<IDispatch*>(object));
}

// ---- late-bound calls ------------------------------------------------------------

OleVariant DispatchInvoke(const OleVariant& object, const AnsiString& name, WORD flags,
                          const std::vector<OleVariant>& args) {
    IDispatch* dispatch = object.Dispatch();
    if (dispatch == nullptr) {
        throw EVariantError("Opération de variant incorrecte ("_ansi + VarTypeName(object.Type()) +
                            "." + name + ")");
    }
    const char* names[] = {name.c_str()};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
        throw EOleError("La méthode '"_ansi + name +
                        "' n'est pas supportée par l'objet automation"_ansi);
    }
    // The arguments go last first, by value.
    std::vector<VARIANT> reversed(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        reversed[args.size() - 1 - i] = args[i].Raw();
    }
    DISPPARAMS params;
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    params.cArgs = static_cast<UINT>(reversed.size());
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep;
    UINT argErr = 0;
    const HRESULT hr = dispatch->Invoke(id, IID_NULL, 0, flags, &params, &result, &excep, &argErr);
    if (hr == DISP_E_EXCEPTION) {
        const AnsiString description(excep.bstrDescription ? excep.bstrDescription : "",
                                     SysStringLen(excep.bstrDescription));
        const AnsiString source(excep.bstrSource ? excep.bstrSource : "",
                                SysStringLen(excep.bstrSource));
        SysFreeString(excep.bstrDescription);
        SysFreeString(excep.bstrSource);
        VariantClear(&result);
        const HRESULT code = excep.scode != S_OK ? excep.scode : hr;
        throw EOleException(description.empty() ? SysErrorMessage(code) : description, code,
                            source);
    }
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    if (FAILED(hr)) {
        VariantClear(&result);
        RaiseSys(hr, name);
    }
    return OleVariant::Take(result);
}

// ---- conversions -----------------------------------------------------------------

AnsiString VarTypeName(VARTYPE type) {
    switch (type) {
        case VT_EMPTY:
            return "Empty";
        case VT_NULL:
            return "Null";
        case VT_I2:
            return "Smallint";
        case VT_I4:
            return "Integer";
        case VT_BSTR:
            return "OleStr";
        case VT_DISPATCH:
            return "Dispatch";
        case VT_ERROR:
            return "Error";
        case VT_BOOL:
            return "Boolean";
        case VT_UNKNOWN:
            return "Unknown";
        default: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "$%04X", static_cast<unsigned>(type));
            return buf;
        }
    }
}

namespace {

[[noreturn]] void CastError(VARTYPE from, const char* to) {
    throw EVariantTypeCastError("Impossible de convertir un variant de type ("_ansi +
                                VarTypeName(from) + ") en type (" + to + ")");
}

// The default member's value, as VariantChangeType asks an object for it.
std::optional<OleVariant> DefaultValue(IDispatch* object) {
    DISPPARAMS none;
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep;
    const HRESULT hr = object->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none,
                                      &result, &excep, nullptr);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    if (FAILED(hr)) {
        VariantClear(&result);
        return std::nullopt;
    }
    return OleVariant::Take(result);
}

}  // namespace

AnsiString VarToStr(const OleVariant& value) {
    const VARIANT& v = value.Raw();
    switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return {};
        case VT_I2:
            return std::to_string(v.iVal);
        case VT_I4:
            return std::to_string(v.lVal);
        case VT_BOOL:
            return v.boolVal != VARIANT_FALSE ? "True" : "False";
        case VT_BSTR:
            return v.bstrVal == nullptr ? AnsiString()
                                        : AnsiString(v.bstrVal, SysStringLen(v.bstrVal));
        case VT_DISPATCH:
            // One level only: an object whose default value is again an
            // object does not convert.
            if (v.pdispVal != nullptr) {
                if (auto inner = DefaultValue(v.pdispVal); inner && inner->Type() != VT_DISPATCH) {
                    try {
                        return VarToStr(*inner);
                    } catch (const EVariantTypeCastError&) {
                    }
                }
            }
            CastError(v.vt, "String");
        default:
            CastError(v.vt, "String");
    }
}

std::int32_t VarToInteger(const OleVariant& value) {
    const VARIANT& v = value.Raw();
    switch (v.vt) {
        case VT_EMPTY:
            return 0;
        case VT_I2:
            return v.iVal;
        case VT_I4:
            return v.lVal;
        case VT_BOOL:
            return v.boolVal != VARIANT_FALSE ? -1 : 0;
        case VT_BSTR: {
            std::string_view text(v.bstrVal == nullptr ? "" : v.bstrVal, SysStringLen(v.bstrVal));
            while (!text.empty() && text.front() == ' ') {
                text.remove_prefix(1);
            }
            while (!text.empty() && text.back() == ' ') {
                text.remove_suffix(1);
            }
            if (!text.empty() && text.front() == '+') {
                text.remove_prefix(1);
            }
            std::int32_t n = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
                CastError(v.vt, "Integer");
            }
            return n;
        }
        default:
            CastError(v.vt, "Integer");
    }
}

// ---- registration ----------------------------------------------------------------

namespace {

// Letters, digits and dots, not starting with a digit, at most 39 characters,
// as Windows wants a ProgID.
bool IsValidProgId(const AnsiString& progId) {
    if (progId.empty() || progId.size() > 39 || (progId[0] >= '0' && progId[0] <= '9')) {
        return false;
    }
    for (char c : progId) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

constexpr std::string_view kClasses = "SOFTWARE\\Classes\\";

}  // namespace

void RegisterComponent(const AnsiString& progId, const CLSID& clsid, const AnsiString& library) {
    if (!IsValidProgId(progId)) {
        throw Exception("Invalid ProgID '" + progId +
                        "' (letters, digits and dots, not starting with a digit, at most 39)");
    }
    if (library.empty() || library.find_first_of(AnsiString("\0\r\n", 3)) != AnsiString::npos) {
        throw Exception("Invalid component library name '" + library + "'");
    }
    const AnsiString clsidText = GUIDToString(clsid);
    Hive().Update([&](RegKey& tree) {
        const auto text = [](std::string_view s) { return RegValue::String("", s).data; };
        RegKey* prog = tree.CreatePath(AnsiString(kClasses) + progId);
        prog->SetValue("", REG_SZ, text(progId));
        prog->CreateSubKey("CLSID").SetValue("", REG_SZ, text(clsidText));
        RegKey* cls = tree.CreatePath(AnsiString(kClasses) + "CLSID\\" + clsidText);
        cls->SetValue("", REG_SZ, text(progId));
        cls->CreateSubKey("ProgID").SetValue("", REG_SZ, text(progId));
        RegKey& server = cls->CreateSubKey("InprocServer32");
        server.SetValue("", REG_SZ, text(library));
        server.SetValue("ThreadingModel", REG_SZ, text("Apartment"));
        return true;
    });
}

bool UnregisterComponent(const AnsiString& progId) {
    if (progId.empty() || !IsStorableKeyName(progId)) {
        return false;
    }
    bool found = false;
    Hive().Update([&](RegKey& tree) {
        const AnsiString progPath = AnsiString(kClasses) + progId;
        RegKey* prog = tree.FindPath(progPath);
        if (prog == nullptr) {
            return false;
        }
        found = true;
        const RegKey* clsidKey = prog->FindSubKey("CLSID");
        const auto clsidText = DefaultText(clsidKey);
        CLSID clsid;
        if (clsidText && SUCCEEDED(CLSIDFromString(*clsidText, &clsid))) {
            tree.DeletePath(AnsiString(kClasses) + "CLSID\\" + GUIDToString(clsid));
        }
        tree.DeletePath(progPath);
        return true;
    });
    return found;
}

// ---- the server side -------------------------------------------------------------

DispatchObject::DispatchObject(AnsiString source, std::vector<AnsiString> members)
    : source_(std::move(source)), members_(std::move(members)) {}

HRESULT DispatchObject::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG DispatchObject::AddRef() {
    return std::atomic_ref<ULONG>(refs_).fetch_add(1) + 1;
}

ULONG DispatchObject::Release() {
    const ULONG left = std::atomic_ref<ULONG>(refs_).fetch_sub(1) - 1;
    if (left == 0) {
        delete this;
    }
    return left;
}

HRESULT DispatchObject::GetIDsOfNames(const IID&, const char* const* names, UINT count, LCID,
                                      DISPID* ids) {
    if (names == nullptr || ids == nullptr || count == 0) {
        return E_INVALIDARG;
    }
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
    }
    if (names[0] == nullptr) {
        return DISP_E_UNKNOWNNAME;
    }
    for (std::size_t m = 0; m < members_.size(); ++m) {
        if (AnsiSameText(members_[m], names[0])) {
            ids[0] = static_cast<DISPID>(m + 1);
            // Named arguments are not known by name here.
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

HRESULT DispatchObject::Invoke(DISPID member, const IID&, LCID, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* excepInfo, UINT*) {
    if (params == nullptr) {
        return E_INVALIDARG;
    }
    if (params->cNamedArgs > 0) {
        return DISP_E_NONAMEDARGS;
    }
    if (params->cArgs > 0 && params->rgvarg == nullptr) {
        return E_INVALIDARG;
    }
    std::vector<const VARIANT*> args(params->cArgs);
    for (UINT i = 0; i < params->cArgs; ++i) {
        args[i] = &params->rgvarg[params->cArgs - 1 - i];
    }
    VARIANT local;
    VARIANT* out = result != nullptr ? result : &local;
    VariantInit(out);
    HRESULT hr = S_OK;
    try {
        hr = Call(member, flags, args, out);
    } catch (const EComponentError& e) {
        VariantClear(out);
        if (excepInfo != nullptr) {
            *excepInfo = EXCEPINFO{};
            excepInfo->bstrSource = SysAllocString(source_);
            excepInfo->bstrDescription = SysAllocString(e.Message());
            excepInfo->scode = E_FAIL;
        }
        return DISP_E_EXCEPTION;
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    if (FAILED(hr) || out == &local) {
        VariantClear(out);
    }
    return hr;
}

HRESULT HandOut(IUnknown* object, const IID& iid, void** out) {
    if (out == nullptr) {
        object->Release();
        return E_POINTER;
    }
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

HRESULT SimpleClassFactory::QueryInterface(const IID& iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT SimpleClassFactory::CreateInstance(IUnknown* outer, const IID& iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    IUnknown* created = nullptr;
    try {
        created = create_();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (created == nullptr) {
        return E_OUTOFMEMORY;
    }
    return HandOut(created, iid, object);
}

}  // namespace platform
