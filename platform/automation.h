// Late-bound automation objects, as COM gives them on Windows.
//
// A program identifier names a class in HKEY_CLASSES_ROOT: <ProgID>\CLSID
// gives its class identifier, CLSID\{...}\InprocServer32 the Windows path of
// the component library (a Linux shared object), which the platform's loader
// opens. The library exports, with C linkage:
//
//   HRESULT DllGetClassObject(const CLSID* clsid, const IID* iid, void** out);
//   void DllAttachWorkstation(const char* hostRoot);   // optional
//
// The second one exists because a library carries its own copy of the
// platform: the loader tells it, before each creation, which workstation its
// host sees, so that both read the same registry.
//
// The interfaces below are pure virtual and cross the shared-object boundary
// (the components are built by the same compiler). No C++ exception crosses
// it: errors travel as HRESULTs, a component's own error as an EXCEPINFO.
// Texts (BSTR) are Windows-1252 bytes here, the program's code page, rather
// than UTF-16: nothing on this side holds wide texts.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "platform/text.h"
#include "platform/win_types.h"

#define QUILL_COM_EXPORT __attribute__((visibility("default")))

namespace platform {

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using WORD = std::uint16_t;
using LCID = DWORD;
using DISPID = std::int32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;

constexpr HRESULT Hr(std::uint32_t code) {
    return static_cast<HRESULT>(code);
}
constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = Hr(0x80004001);
constexpr HRESULT E_NOINTERFACE = Hr(0x80004002);
constexpr HRESULT E_POINTER = Hr(0x80004003);
constexpr HRESULT E_FAIL = Hr(0x80004005);
constexpr HRESULT E_UNEXPECTED = Hr(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = Hr(0x8007000E);
constexpr HRESULT E_INVALIDARG = Hr(0x80070057);
constexpr HRESULT HRESULT_MOD_NOT_FOUND = Hr(0x8007007E);  // ERROR_MOD_NOT_FOUND
constexpr HRESULT CLASS_E_NOAGGREGATION = Hr(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = Hr(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = Hr(0x80040154);
constexpr HRESULT CO_E_NOTINITIALIZED = Hr(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = Hr(0x800401F3);
constexpr HRESULT CO_E_ERRORINDLL = Hr(0x800401F9);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = Hr(0x80020003);
constexpr HRESULT DISP_E_TYPEMISMATCH = Hr(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = Hr(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = Hr(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = Hr(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = Hr(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = Hr(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = Hr(0x8002000B);
constexpr HRESULT DISP_E_BADPARAMCOUNT = Hr(0x8002000E);

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;

constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;

constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;

constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I2 = 2;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_DISPATCH = 9;
constexpr VARTYPE VT_ERROR = 10;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_UNKNOWN = 13;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    bool operator==(const GUID&) const = default;
};
using IID = GUID;
using CLSID = GUID;

constexpr IID IID_NULL{};
constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", hex digits of either case.
HRESULT CLSIDFromString(std::string_view text, CLSID* clsid);
// Upper-case hex, with the braces, as the registry holds class identifiers.
AnsiString GUIDToString(const GUID& guid);

// Length-prefixed texts owned by whoever holds them; every module allocates
// and frees them through the same C allocator, so either side may free.
using BSTR = char*;
BSTR SysAllocStringLen(const char* text, UINT length);
BSTR SysAllocString(std::string_view text);
UINT SysStringLen(BSTR text);  // 0 for null
void SysFreeString(BSTR text);

class IDispatch;
class IUnknown;

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    union {
        std::int32_t lVal;
        std::int16_t iVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IDispatch* pdispVal;
        IUnknown* punkVal;
    };
};

void VariantInit(VARIANT* v);
// Frees the text or releases the object, leaving VT_EMPTY.
HRESULT VariantClear(VARIANT* v);
// A deep copy: texts copied, objects AddRef'd.
HRESULT VariantCopy(VARIANT* target, const VARIANT* source);

// Arguments in reverse order, as COM passes them.
struct DISPPARAMS {
    VARIANT* rgvarg = nullptr;
    DISPID* rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

// A server's own exception. The caller frees the texts.
struct EXCEPINFO {
    WORD wCode = 0;
    BSTR bstrSource = nullptr;
    BSTR bstrDescription = nullptr;
    HRESULT scode = S_OK;
};

class QUILL_COM_EXPORT IUnknown {
  public:
    virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IUnknown() = default;
};

class QUILL_COM_EXPORT IDispatch : public IUnknown {
  public:
    // `iid` is IID_NULL; one id per name.
    virtual HRESULT GetIDsOfNames(const IID& iid, const char* const* names, UINT count, LCID lcid,
                                  DISPID* ids) = 0;
    // `result` and `excepInfo` may be null.
    virtual HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) = 0;

  protected:
    ~IDispatch() = default;
};

class QUILL_COM_EXPORT IClassFactory : public IUnknown {
  public:
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

  protected:
    ~IClassFactory() = default;
};

using DllGetClassObjectProc = HRESULT (*)(const CLSID*, const IID*, void**);
using DllAttachWorkstationProc = void (*)(const char*);

// ---- the client side --------------------------------------------------------

// Delphi's OLE error classes. ErrorCode() is the HRESULT.
class EOleError : public Exception {
  public:
    using Exception::Exception;
};

class EOleSysError : public EOleError {
  public:
    EOleSysError(AnsiString message, HRESULT code) : EOleError(std::move(message)), code_(code) {}
    HRESULT ErrorCode() const { return code_; }

  private:
    HRESULT code_;
};

// A server's own exception: its description is the message.
class EOleException : public EOleSysError {
  public:
    EOleException(AnsiString message, HRESULT code, AnsiString source)
        : EOleSysError(std::move(message), code), source_(std::move(source)) {}
    const AnsiString& Source() const { return source_; }

  private:
    AnsiString source_;
};

class EVariantError : public Exception {
  public:
    using Exception::Exception;
};

// "Could not convert variant of type (X) into type (Y)".
class EVariantTypeCastError : public EVariantError {
  public:
    using EVariantError::EVariantError;
};

// The system's text for an HRESULT, as the French Windows gives it.
AnsiString SysErrorMessage(HRESULT hr);

// COM for the calling thread, as a single-threaded apartment. Counted:
// each successful call is paired with CoUninitialize.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();

HRESULT CLSIDFromProgID(const AnsiString& progId, CLSID* clsid);
// In-process servers only: a local server's registration is looked for but
// nothing here could start one.
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD context, const IID& iid,
                         void** object);

// The class library's OleVariant: owns what it holds.
class OleVariant {
  public:
    OleVariant() { VariantInit(&v_); }
    OleVariant(std::int32_t value);  // VT_I4
    OleVariant(bool value);          // VT_BOOL
    OleVariant(const char* text) : OleVariant(AnsiString(text)) {}
    OleVariant(const AnsiString& text);  // VT_BSTR
    // Takes over one reference of the object.
    static OleVariant Attach(IDispatch* object);
    // Takes over what the VARIANT holds, leaving it empty.
    static OleVariant Take(VARIANT& v);
    static OleVariant Null();

    OleVariant(const OleVariant& other);
    OleVariant(OleVariant&& other) noexcept;
    OleVariant& operator=(OleVariant other) noexcept;
    ~OleVariant() { VariantClear(&v_); }

    VARTYPE Type() const { return v_.vt; }
    const VARIANT& Raw() const { return v_; }
    // The object, not AddRef'd; null unless VT_DISPATCH.
    IDispatch* Dispatch() const { return v_.vt == VT_DISPATCH ? v_.pdispVal : nullptr; }

  private:
    VARIANT v_;
};

// The class library's name for a variant type ("Integer", "OleStr"...).
AnsiString VarTypeName(VARTYPE type);

// As the class library converts variants: VT_EMPTY and VT_NULL give empty
// text, numbers their decimal text, booleans "True" or "False", a text
// itself, and an object the text of its default member (DISPID_VALUE), as
// VariantChangeType does; anything else raises EVariantTypeCastError.
AnsiString VarToStr(const OleVariant& value);
// VT_EMPTY is 0, numbers as they are, booleans -1 or 0, a text of decimal
// digits its value; anything else raises EVariantTypeCastError.
std::int32_t VarToInteger(const OleVariant& value);

// CreateOleObject: the ProgID's class created in-process or as a local
// server and asked for IDispatch. Raises EOleSysError naming what failed
// (COM not initialised, identifier not registered, class not registered,
// library missing, factory missing).
OleVariant CreateOleObject(const AnsiString& progId);

// One late-bound call: the name resolved on the object just before the call
// (nothing is cached), then invoked with locale 0, the flags and the
// arguments given in their natural order, with no named arguments. Raises
// EOleError for an object that is not one, or a name it does not know,
// EOleException for the server's own exception, EOleSysError otherwise.
OleVariant DispatchInvoke(const OleVariant& object, const AnsiString& name, WORD flags,
                          const std::vector<OleVariant>& args = {});

// ---- registration, as regsvr32 writes it -----------------------------------

// HKCR\<ProgID>\CLSID = {clsid}; HKCR\CLSID\{clsid}\ProgID = ProgID;
// HKCR\CLSID\{clsid}\InprocServer32 default value = library (a Windows path
// or a bare name for the loader's search) and ThreadingModel "Apartment".
// One change of the hive: on error nothing is written. Raises Exception for
// a ProgID that cannot be a key name or an empty library.
void RegisterComponent(const AnsiString& progId, const CLSID& clsid, const AnsiString& library);
// Removes HKCR\<ProgID> and the class key it names. False when the ProgID
// is not registered.
bool UnregisterComponent(const AnsiString& progId);

// ---- the server side --------------------------------------------------------

// A component's own error, turned into DISP_E_EXCEPTION with its text.
class EComponentError : public Exception {
  public:
    using Exception::Exception;
};

// Base of a component's automation objects: reference counting as COM does
// it (born with one reference, deleted at zero), one-name lookup without
// regard to case over a fixed member list (the index is the DISPID, from 1),
// and every error turned into an HRESULT before it reaches the caller.
class DispatchObject : public IDispatch {
  public:
    HRESULT QueryInterface(const IID& iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetIDsOfNames(const IID& iid, const char* const* names, UINT count, LCID lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID member, const IID& iid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

  protected:
    DispatchObject(AnsiString source, std::vector<AnsiString> members);
    virtual ~DispatchObject() = default;

    // Arguments in their natural order. Throws EComponentError for the
    // component's own error, or returns a failing HRESULT (DISP_E_...).
    virtual HRESULT Call(DISPID member, WORD flags, const std::vector<const VARIANT*>& args,
                         VARIANT* result) = 0;

  private:
    AnsiString source_;
    std::vector<AnsiString> members_;
    ULONG refs_ = 1;
};

// Hands a new object's reference out as DllGetClassObject does: the
// interface asked for, or E_NOINTERFACE with the object released.
HRESULT HandOut(IUnknown* object, const IID& iid, void** out);

// A class factory for one object kind; `create` gives a new object with one
// reference. The factory is a process-wide static of the component.
class SimpleClassFactory final : public IClassFactory {
  public:
    using Creator = IUnknown* (*)();
    explicit SimpleClassFactory(Creator create) : create_(create) {}
    HRESULT QueryInterface(const IID& iid, void** object) override;
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override;
    HRESULT LockServer(BOOL) override { return S_OK; }

  private:
    Creator create_;
};

}  // namespace platform
