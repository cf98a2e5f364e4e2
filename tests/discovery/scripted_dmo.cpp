// A stand-in for the management objects whose answers come from a script in
// the workstation, scripted-dmo.txt, one directive a line:
//
//   first N      the Count of the first collection asked for (default: names)
//   second N     the Count of every later collection (default: names)
//   refuse I     item(I) raises the component's own error
//   name TEXT    the next item, a text (Windows-1252 bytes up to the line end)
//   number N     the next item, a VT_I4
//   bool 0|1     the next item, a VT_BOOL
//   object       the next item, an object without a default value
//
// An index past the items is refused too. Every call and every object's
// birth and end is appended to scripted-dmo.log in the workstation.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/automation.h"
#include "platform/workstation.h"

namespace {

using platform::AnsiString;
using platform::HRESULT;
using platform::VARIANT;
using platform::WORD;

constexpr platform::CLSID kClsid{
    0x5C1A7E00, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD1}};

struct Item {
    platform::VARTYPE type = platform::VT_BSTR;
    AnsiString text;
    std::int32_t number = 0;
};

struct Script {
    std::optional<std::int32_t> first, second;
    std::int32_t refuse = 0;
    std::vector<Item> items;
};

std::filesystem::path InWorkstation(const char* name) {
    return platform::Workstation::Current().Root() / name;
}

void Log(const std::string& line) {
    std::ofstream(InWorkstation("scripted-dmo.log"), std::ios::app) << line << "\n";
}

Script ReadScript() {
    Script s;
    std::ifstream in(InWorkstation("scripted-dmo.txt"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word == "first") {
            s.first = std::stoi(rest);
        } else if (word == "second") {
            s.second = std::stoi(rest);
        } else if (word == "refuse") {
            s.refuse = std::stoi(rest);
        } else if (word == "name") {
            s.items.push_back({platform::VT_BSTR, rest, 0});
        } else if (word == "number") {
            s.items.push_back({platform::VT_I4, {}, std::stoi(rest)});
        } else if (word == "bool") {
            s.items.push_back({platform::VT_BOOL, {}, std::stoi(rest)});
        } else if (word == "object") {
            s.items.push_back({platform::VT_DISPATCH, {}, 0});
        }
    }
    return s;
}

class Logged : public platform::DispatchObject {
  protected:
    Logged(const char* kind, std::vector<AnsiString> members)
        : DispatchObject("Scripted DMO", std::move(members)), kind_(kind) {
        Log(std::string("+") + kind_);
    }
    ~Logged() override { Log(std::string("-") + kind_); }

  private:
    const char* kind_;
};

// An object with no members at all, not even a default value.
class Opaque final : public Logged {
  public:
    Opaque() : Logged("Opaque", {}) {}

  protected:
    HRESULT Call(platform::DISPID, WORD, const std::vector<const VARIANT*>&, VARIANT*) override {
        return platform::DISP_E_MEMBERNOTFOUND;
    }
};

class Collection final : public Logged {
  public:
    Collection(const Script& script, std::int32_t count)
        : Logged("Collection", {"Count", "Item"}), script_(script), count_(count) {}

  protected:
    HRESULT Call(platform::DISPID member, WORD flags, const std::vector<const VARIANT*>& args,
                 VARIANT* result) override {
        if (member == 1) {
            Log("Count " + std::to_string(flags));
            result->vt = platform::VT_I4;
            result->lVal = count_;
            return platform::S_OK;
        }
        if (member != 2) {
            return platform::DISP_E_MEMBERNOTFOUND;
        }
        if (args.size() != 1 || args[0]->vt != platform::VT_I4) {
            return platform::DISP_E_TYPEMISMATCH;
        }
        const std::int32_t i = args[0]->lVal;
        Log("item " + std::to_string(i) + " " + std::to_string(flags));
        if (i == script_.refuse || i < 1 || i > static_cast<std::int32_t>(script_.items.size())) {
            throw platform::EComponentError("index " + std::to_string(i) + " refused");
        }
        const Item& item = script_.items[static_cast<std::size_t>(i - 1)];
        result->vt = item.type;
        if (item.type == platform::VT_BSTR) {
            result->bstrVal = platform::SysAllocString(item.text);
        } else if (item.type == platform::VT_I4) {
            result->lVal = item.number;
        } else if (item.type == platform::VT_BOOL) {
            result->boolVal = item.number != 0 ? platform::VARIANT_TRUE : platform::VARIANT_FALSE;
        } else {
            result->pdispVal = new Opaque();
        }
        return platform::S_OK;
    }

  private:
    Script script_;
    std::int32_t count_;
};

class Application final : public Logged {
  public:
    Application() : Logged("Application", {"ListAvailableSQLServers"}) {}

  protected:
    HRESULT Call(platform::DISPID member, WORD flags, const std::vector<const VARIANT*>&,
                 VARIANT* result) override {
        if (member != 1) {
            return platform::DISP_E_MEMBERNOTFOUND;
        }
        Log("ListAvailableSQLServers " + std::to_string(flags));
        const Script script = ReadScript();
        const auto names = static_cast<std::int32_t>(script.items.size());
        const std::int32_t count =
            asked_++ == 0 ? script.first.value_or(names) : script.second.value_or(names);
        result->vt = platform::VT_DISPATCH;
        result->pdispVal = new Collection(script, count);
        return platform::S_OK;
    }

  private:
    int asked_ = 0;
};

platform::IUnknown* NewApplication() {
    return static_cast<platform::IDispatch*>(new Application());
}

platform::SimpleClassFactory factory(NewApplication);

}  // namespace

extern "C" {

QUILL_COM_EXPORT platform::HRESULT DllGetClassObject(const platform::CLSID* clsid,
                                                     const platform::IID* iid, void** out) {
    if (clsid == nullptr || iid == nullptr || out == nullptr) {
        return platform::E_POINTER;
    }
    *out = nullptr;
    if (!(*clsid == kClsid)) {
        return platform::CLASS_E_CLASSNOTAVAILABLE;
    }
    return factory.QueryInterface(*iid, out);
}

QUILL_COM_EXPORT void DllAttachWorkstation(const char* hostRoot) {
    platform::Workstation::SetCurrent(hostRoot);
}
}
