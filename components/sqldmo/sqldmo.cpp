// SQL Server's management objects, as far as the installer asks of them:
// Application.ListAvailableSQLServers gives a NameList with Count and
// Item(i), 1-based. The servers are found over SSRP (browse.h).
#include <cstring>

#include "components/sqldmo/browse.h"
#include "platform/automation.h"
#include "platform/computer_name.h"
#include "platform/workstation.h"

namespace sqldmo {
namespace {

using platform::DispatchObject;
using platform::EComponentError;
using platform::HRESULT;
using platform::VARIANT;
using platform::WORD;

constexpr const char* kSource = "Microsoft SQL-DMO";
// SQLDMO.Application, as the management objects register it.
constexpr platform::CLSID kApplicationClsid{
    0x10020100, 0xE260, 0x11CF, {0xAE, 0x68, 0x00, 0xAA, 0x00, 0x4A, 0x34, 0xD5}};

bool Has(WORD flags, WORD flag) {
    return (flags & flag) != 0;
}

class NameList final : public DispatchObject {
  public:
    explicit NameList(std::vector<AnsiString> names)
        : DispatchObject(kSource, {"Count", "Item"}), names_(std::move(names)) {}

  protected:
    enum : platform::DISPID { kCount = 1, kItem = 2 };

    HRESULT Call(platform::DISPID member, WORD flags, const std::vector<const VARIANT*>& args,
                 VARIANT* result) override {
        // Item is the list's default member, as on Windows.
        if (member == platform::DISPID_VALUE && !args.empty()) {
            member = kItem;
        }
        switch (member) {
            case kCount:
                if (!Has(flags, platform::DISPATCH_PROPERTYGET)) {
                    return platform::DISP_E_MEMBERNOTFOUND;
                }
                if (!args.empty()) {
                    return platform::DISP_E_BADPARAMCOUNT;
                }
                result->vt = platform::VT_I4;
                result->lVal = static_cast<std::int32_t>(names_.size());
                return platform::S_OK;
            case kItem: {
                if (!Has(flags, platform::DISPATCH_METHOD | platform::DISPATCH_PROPERTYGET)) {
                    return platform::DISP_E_MEMBERNOTFOUND;
                }
                if (args.size() != 1) {
                    return platform::DISP_E_BADPARAMCOUNT;
                }
                std::int64_t index = 0;
                if (args[0]->vt == platform::VT_I4) {
                    index = args[0]->lVal;
                } else if (args[0]->vt == platform::VT_I2) {
                    index = args[0]->iVal;
                } else {
                    return platform::DISP_E_TYPEMISMATCH;
                }
                if (index < 1 || index > static_cast<std::int64_t>(names_.size())) {
                    throw EComponentError("[SQL-DMO]Index " + std::to_string(index) +
                                          " is out of range (1 to " +
                                          std::to_string(names_.size()) + ").");
                }
                const AnsiString& name = names_[static_cast<std::size_t>(index - 1)];
                result->vt = platform::VT_BSTR;
                result->bstrVal = platform::SysAllocString(name);
                return result->bstrVal != nullptr ? platform::S_OK : platform::E_OUTOFMEMORY;
            }
            default:
                return platform::DISP_E_MEMBERNOTFOUND;
        }
    }

  private:
    std::vector<AnsiString> names_;
};

AnsiString ComputerName() {
    char buffer[256] = {};
    platform::DWORD size = sizeof buffer;
    return platform::GetComputerNameA(buffer, &size) ? AnsiString(buffer) : AnsiString();
}

class Application final : public DispatchObject {
  public:
    Application() : DispatchObject(kSource, {"ListAvailableSQLServers", "BrowseRounds"}) {}

  protected:
    enum : platform::DISPID { kList = 1, kRounds = 2 };

    HRESULT Call(platform::DISPID member, WORD flags, const std::vector<const VARIANT*>& args,
                 VARIANT* result) override {
        switch (member) {
            case kList: {
                if (!Has(flags, platform::DISPATCH_METHOD)) {
                    return platform::DISP_E_MEMBERNOTFOUND;
                }
                if (!args.empty()) {
                    return platform::DISP_E_BADPARAMCOUNT;
                }
                const auto read = [] {
                    try {
                        return ReadConfig();
                    } catch (const ConfigError& e) {
                        throw EComponentError("[SQL-DMO]" + e.message);
                    }
                };
                auto* list = new NameList(CachedBrowse(read, ComputerName).names);
                result->vt = platform::VT_DISPATCH;
                result->pdispVal = list;
                return platform::S_OK;
            }
            case kRounds:
                if (!Has(flags, platform::DISPATCH_PROPERTYGET)) {
                    return platform::DISP_E_MEMBERNOTFOUND;
                }
                result->vt = platform::VT_I4;
                result->lVal = BrowseRounds();
                return platform::S_OK;
            default:
                return platform::DISP_E_MEMBERNOTFOUND;
        }
    }
};

platform::IUnknown* NewApplication() {
    return static_cast<platform::IDispatch*>(new Application());
}

platform::SimpleClassFactory factory(NewApplication);

}  // namespace
}  // namespace sqldmo

extern "C" {

QUILL_COM_EXPORT platform::HRESULT DllGetClassObject(const platform::CLSID* clsid,
                                                     const platform::IID* iid, void** out) {
    if (clsid == nullptr || iid == nullptr || out == nullptr) {
        return platform::E_POINTER;
    }
    *out = nullptr;
    if (!(*clsid == sqldmo::kApplicationClsid)) {
        return platform::CLASS_E_CLASSNOTAVAILABLE;
    }
    return sqldmo::factory.QueryInterface(*iid, out);
}

QUILL_COM_EXPORT void DllAttachWorkstation(const char* hostRoot) {
    if (hostRoot != nullptr && *hostRoot != '\0' &&
        platform::Workstation::Current().Root() != std::filesystem::path(hostRoot)) {
        platform::Workstation::SetCurrent(hostRoot);
    }
}
}
