// The server discovery against n servers answering on loopback: its time
// and the network rounds it costs, with the component's short memory of its
// first browse and without it. Prints a table; run by scripts/bench-discovery.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "discovery/server_list.h"
#include "platform/automation.h"
#include "platform/hive.h"
#include "platform/testing/recording_application.h"
#include "tests/components/sqldmo/sqldmo_registration.h"
#include "tests/components/sqldmo/udp_responder.h"
#include "tests/support/temp_workstation.h"

namespace {

struct Figures {
    double medianMs = 0;
    int items = 0;
    int rounds = 0;    // browses the component made for one discovery
    int requests = 0;  // datagrams the servers received for one discovery
};

int Rounds() {
    const auto app = platform::CreateOleObject("SQLDMO.Application");
    return platform::VarToInteger(
        platform::DispatchInvoke(app, "BrowseRounds", platform::DISPATCH_PROPERTYGET));
}

Figures Measure(int servers, bool cache, int repeats) {
    std::vector<std::unique_ptr<testsupport::UdpResponder>> responders;
    std::string targets;
    for (int i = 0; i < servers; ++i) {
        const std::string name = "SRV" + std::to_string(i + 1);
        responders.push_back(std::make_unique<testsupport::UdpResponder>(
            std::vector<std::string>{testsupport::ServerResponse(
                testsupport::InstanceRecord(name, "MSSQLSERVER", 1433 + i))}));
        targets += (targets.empty() ? "" : ";") + responders.back()->Target();
    }
    std::vector<double> times;
    Figures f;
    for (int r = 0; r < repeats; ++r) {
        // A fresh workstation each time, so that no earlier browse is remembered.
        testsupport::TempWorkstation ws;
        testsupport::RegisterSqlDmo();
        platform::Hive().Import(
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\SQLDMO]\r\n"
            "\"BrowseTargets\"=\"" +
            targets + "\"\r\n\"CacheSeconds\"=dword:0000000" + (cache ? "5" : "0") + "\r\n");
        int requestsBefore = 0;
        for (const auto& resp : responders) {
            requestsBefore += resp->Requests();
        }
        const int roundsBefore = Rounds();
        platform::testing::RecordingApplication app;
        platform::TComboBox box;
        const auto start = std::chrono::steady_clock::now();
        discovery::ListSqlServers(box, app);
        const auto end = std::chrono::steady_clock::now();
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        f.items = box.ItemCount();
        f.rounds = Rounds() - roundsBefore;
        f.requests = -requestsBefore;
        for (const auto& resp : responders) {
            f.requests += resp->Requests();
        }
    }
    std::sort(times.begin(), times.end());
    f.medianMs = times[times.size() / 2];
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication qt(argc, argv);
    platform::CoInitialize(nullptr);
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::printf("Server discovery over SSRP on loopback (median of %d runs)\n\n", repeats);
    std::printf("%-8s %-6s %10s %6s %14s %15s %15s\n", "servers", "cache", "time (ms)", "items",
                "ListAvailable.", "network rounds", "UDP requests");
    for (bool cache : {true, false}) {
        for (int n : {1, 10, 50}) {
            const Figures f = Measure(n, cache, repeats);
            std::printf("%-8d %-6s %10.2f %6d %14d %15d %15d\n", n, cache ? "on" : "off",
                        f.medianMs, f.items, n + 2, f.rounds, f.requests);
        }
    }
    std::printf(
        "\nWith the cache, the n + 2 requests of one discovery cost one network round\n"
        "(one CLNT_UCAST_EX per server, all sent at once), so the time stays flat in n.\n");
    platform::CoUninitialize();
    return 0;
}
