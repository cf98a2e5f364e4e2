#include "discovery/server_list.h"

#include <vector>

#include "platform/automation.h"
#include "platform/computer_name.h"

namespace discovery {

using namespace platform::literals;
using platform::AnsiString;
using platform::DISPATCH_METHOD;
using platform::DISPATCH_PROPERTYGET;
using platform::DispatchInvoke;
using platform::OleVariant;

AnsiString DiscoveryFailedText() {
    return "La recherche des serveurs MS SQL a généré une erreur. L'application va être fermée."_ansi;
}

namespace {

constexpr platform::WORD kGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

// The objects of one discovery. The collection is asked for anew each time;
// every object obtained stays held until the discovery returns, and when it
// fails the program ends with them still held.
struct Objects {
    OleVariant application;
    std::vector<OleVariant> collections;

    const OleVariant& Servers() {
        collections.push_back(DispatchInvoke(application, "ListAvailableSQLServers", kGet));
        return collections.back();
    }
    OleVariant Count() { return DispatchInvoke(Servers(), "Count", kGet); }
};

void Fill(platform::TComboBox& list, Objects& objects) {
    objects.application = platform::CreateOleObject(kManagementObjects);
    list.ClearItems();
    if (platform::VarToInteger(objects.Count()) <= 0) {
        return;
    }
    const int n = platform::VarToInteger(objects.Count());
    for (int i = 1; i <= n; ++i) {
        const OleVariant name =
            DispatchInvoke(objects.Servers(), "item", DISPATCH_METHOD, {OleVariant(i)});
        list.AddItem(platform::VarToStr(name));
        const int last = list.ItemCount() - 1;
        if (list.Item(last).find("local") != AnsiString::npos) {
            list.SetItem(last, GetLocalComputerName());
        }
    }
    list.SetText(list.Item(0));
}

}  // namespace

void ListSqlServers(platform::TComboBox& list, platform::ApplicationServices& application) {
    Objects objects;
    try {
        Fill(list, objects);
    } catch (...) {
        application.MessageDlg(DiscoveryFailedText(), platform::mtWarning);
        application.Halt();
    }
}

AnsiString GetLocalComputerName() {
    char buffer[256] = {};
    platform::DWORD size = sizeof buffer;
    if (platform::GetComputerNameA(buffer, &size) == platform::FALSE) {
        return {};
    }
    return AnsiString(buffer);
}

}  // namespace discovery
