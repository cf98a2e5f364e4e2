// A component for the automation layer's tests. Its object "Probe":
//   Echo(args...)  the arguments joined as "vt:text" with ","
//   Fail           raises the component's own error "probe failed"
//   Self           the object itself
//   Flags          the Invoke flags it was called with
//   (default)      the text "default text"
// Plain exports let the test see how many objects live and how many names
// were looked up.
#include <atomic>
#include <string>

#include "platform/automation.h"

namespace {

using platform::HRESULT;
using platform::VARIANT;
using platform::WORD;

constexpr platform::CLSID kProbe{
    0xA11CE000, 0x0001, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

std::atomic<int> live{0};
std::atomic<int> lookups{0};

class Probe final : public platform::DispatchObject {
  public:
    Probe() : DispatchObject("Probe source", {"Echo", "Fail", "Self", "Flags"}) { ++live; }
    ~Probe() override { --live; }

    HRESULT GetIDsOfNames(const platform::IID& iid, const char* const* names, platform::UINT count,
                          platform::LCID lcid, platform::DISPID* ids) override {
        ++lookups;
        return DispatchObject::GetIDsOfNames(iid, names, count, lcid, ids);
    }

  protected:
    HRESULT Call(platform::DISPID member, WORD flags, const std::vector<const VARIANT*>& args,
                 VARIANT* result) override {
        switch (member) {
            case platform::DISPID_VALUE:
                result->vt = platform::VT_BSTR;
                result->bstrVal = platform::SysAllocString("default text");
                return platform::S_OK;
            case 1: {
                std::string joined;
                for (const VARIANT* a : args) {
                    if (!joined.empty()) {
                        joined += ",";
                    }
                    joined += std::to_string(a->vt) + ":";
                    if (a->vt == platform::VT_BSTR) {
                        joined += std::string(a->bstrVal, platform::SysStringLen(a->bstrVal));
                    } else if (a->vt == platform::VT_I4) {
                        joined += std::to_string(a->lVal);
                    } else if (a->vt == platform::VT_BOOL) {
                        joined += std::to_string(a->boolVal);
                    }
                }
                result->vt = platform::VT_BSTR;
                result->bstrVal = platform::SysAllocString(joined);
                return platform::S_OK;
            }
            case 2:
                throw platform::EComponentError("probe failed");
            case 3:
                AddRef();
                result->vt = platform::VT_DISPATCH;
                result->pdispVal = this;
                return platform::S_OK;
            case 4:
                result->vt = platform::VT_I4;
                result->lVal = flags;
                return platform::S_OK;
            default:
                return platform::DISP_E_MEMBERNOTFOUND;
        }
    }
};

platform::IUnknown* NewProbe() {
    return static_cast<platform::IDispatch*>(new Probe());
}

platform::SimpleClassFactory factory(NewProbe);

}  // namespace

extern "C" {

QUILL_COM_EXPORT platform::HRESULT DllGetClassObject(const platform::CLSID* clsid,
                                                     const platform::IID* iid, void** out) {
    *out = nullptr;
    if (!(*clsid == kProbe)) {
        return platform::CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(*iid, out);
}

QUILL_COM_EXPORT int ProbeLiveObjects() {
    return live.load();
}

QUILL_COM_EXPORT int ProbeNameLookups() {
    return lookups.load();
}
}
