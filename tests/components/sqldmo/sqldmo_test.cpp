// The management objects: the SSRP answers they trust, the names they list,
// their configuration, and the component itself, created through the
// registry and asked over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "components/sqldmo/browse.h"
#include "discovery/server_list.h"
#include "platform/automation.h"
#include "platform/hive.h"
#include "platform/paths.h"
#include "platform/testing/recording_application.h"
#include "tests/components/sqldmo/sqldmo_registration.h"
#include "tests/components/sqldmo/udp_responder.h"
#include "tests/support/temp_workstation.h"

namespace {

using platform::AnsiString;
using sqldmo::Instance;
using testsupport::InstanceRecord;
using testsupport::ServerResponse;
using testsupport::UdpResponder;

constexpr const char* kComputer = "POSTE-7";

TEST(ServerResponse, TrustsOnlyWellFormedAnswers) {
    const std::string one = InstanceRecord("ALPHA", "MSSQLSERVER");
    const std::string two = one + InstanceRecord("ALPHA", "COMPTA", 50001);
    struct Row {
        const char* what;
        std::string datagram;
        std::optional<std::vector<Instance>> instances;
    } rows[] = {
        {"one instance", ServerResponse(one), std::vector<Instance>{{"ALPHA", "MSSQLSERVER"}}},
        {"two instances", ServerResponse(two),
         std::vector<Instance>{{"ALPHA", "MSSQLSERVER"}, {"ALPHA", "COMPTA"}}},
        {"keys in another order", ServerResponse("InstanceName;I;ServerName;S;;"),
         std::vector<Instance>{{"S", "I"}}},
        {"empty", "", std::nullopt},
        {"another message type", "\x04" + ServerResponse(one).substr(1), std::nullopt},
        {"no data", ServerResponse(""), std::nullopt},
        {"truncated", ServerResponse(one).substr(0, 20), std::nullopt},
        {"padded", ServerResponse(one) + "xx", std::nullopt},
        {"a record not closed", ServerResponse(one.substr(0, one.size() - 1)), std::nullopt},
        {"a key without a value", ServerResponse(one + "ServerName"), std::nullopt},
        {"no instance name", ServerResponse("ServerName;S;IsClustered;No;;"), std::nullopt},
        {"no server name", ServerResponse("InstanceName;I;;"), std::nullopt},
        {"an empty server name", ServerResponse("ServerName;;InstanceName;I;;"), std::nullopt},
        {"a name twice", ServerResponse("ServerName;A;ServerName;B;InstanceName;I;;"),
         std::nullopt},
        {"a control character", ServerResponse("ServerName;A\nB;InstanceName;I;;"), std::nullopt},
        {"a backslash", ServerResponse("ServerName;A\\B;InstanceName;I;;"), std::nullopt},
        {"a name too long",
         ServerResponse("ServerName;" + std::string(256, 'A') + ";InstanceName;I;;"), std::nullopt},
        {"the longest name",
         ServerResponse("ServerName;" + std::string(255, 'A') + ";InstanceName;I;;"),
         std::vector<Instance>{{std::string(255, 'A'), "I"}}},
        {"a good record then garbage", ServerResponse(one + "junk"), std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(sqldmo::ParseServerResponse(row.datagram), row.instances) << row.what;
    }
}

TEST(ListedName, DefaultAndNamedInstancesHereAndElsewhere) {
    struct Row {
        Instance instance;
        AnsiString computer;
        AnsiString name;
    } rows[] = {
        {{"ALPHA", "MSSQLSERVER"}, kComputer, "ALPHA"},
        {{"ALPHA", "mssqlserver"}, kComputer, "ALPHA"},
        {{"ALPHA", "COMPTA"}, kComputer, "ALPHA\\COMPTA"},
        {{"POSTE-7", "MSSQLSERVER"}, kComputer, "(local)"},
        {{"poste-7", "SQLEXPRESS"}, kComputer, "POSTE-7\\SQLEXPRESS"},
        {{"POSTE-7", "MSSQLSERVER"}, "", "POSTE-7"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(sqldmo::ListedName(row.instance, row.computer), row.name)
            << row.instance.serverName << "\\" << row.instance.instanceName;
    }
}

TEST(BrowseConfig, ReadsItsOwnKeyWithDefaults) {
    testsupport::TempWorkstation ws;
    const sqldmo::BrowseConfig defaults = sqldmo::ReadConfig();
    ASSERT_EQ(defaults.targets.size(), 1u);
    EXPECT_EQ(defaults.targets[0].host, "127.0.0.1");
    EXPECT_EQ(defaults.targets[0].port, 1434);
    EXPECT_EQ(defaults.timeoutMs, 1000);
    EXPECT_FALSE(defaults.broadcast);

    platform::Hive().Import(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\SQLDMO]\r\n"
        "\"BrowseTargets\"=\"127.0.0.1:5000, localhost;;10.0.0.9:1434\"\r\n"
        "\"TimeoutMs\"=dword:000000fa\r\n\"CacheSeconds\"=dword:00000000\r\n");
    const sqldmo::BrowseConfig c = sqldmo::ReadConfig();
    ASSERT_EQ(c.targets.size(), 3u);
    EXPECT_EQ(c.targets[0].port, 5000);
    EXPECT_EQ(c.targets[1].host, "localhost");
    EXPECT_EQ(c.targets[1].port, 1434);
    EXPECT_EQ(c.targets[2].host, "10.0.0.9");
    EXPECT_EQ(c.timeoutMs, 250);
    EXPECT_EQ(c.cacheSeconds, 0);

    for (const char* bad : {"\"BrowseTargets\"=\"host:\"", "\"BrowseTargets\"=\"host:0\"",
                            "\"BrowseTargets\"=\"host:65536\"", "\"BrowseTargets\"=\":1434\"",
                            "\"BrowseTargets\"=dword:00000001", "\"TimeoutMs\"=dword:00000000",
                            "\"TimeoutMs\"=\"1000\"", "\"Broadcast\"=dword:00000002"}) {
        testsupport::TempWorkstation fresh;
        platform::Hive().Import(
            std::string("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\SQLDMO]\r\n") +
            bad + "\r\n");
        EXPECT_THROW(sqldmo::ReadConfig(), sqldmo::ConfigError) << bad;
    }
}

// The real component, registered on a throw-away workstation whose browse
// targets are loopback responders.
class Component : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::CoInitialize(nullptr);
        testsupport::RegisterSqlDmo();
        platform::Hive().Import(
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]"
            "\r\n\"ComputerName\"=\"POSTE-7\"\r\n");
    }
    void TearDown() override { platform::CoUninitialize(); }

    void Targets(const std::vector<std::string>& targets, int timeoutMs = 1000) {
        std::string list;
        for (const std::string& t : targets) {
            list += (list.empty() ? "" : ";") + t;
        }
        char timeout[16];
        std::snprintf(timeout, sizeof timeout, "%08x", timeoutMs);
        platform::Hive().Import(
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\SQLDMO]\r\n"
            "\"BrowseTargets\"=\"" +
            list + "\"\r\n\"TimeoutMs\"=dword:" + timeout + "\r\n");
    }

    static std::vector<AnsiString> Names(const platform::OleVariant& app) {
        using platform::DispatchInvoke;
        const platform::WORD get = platform::DISPATCH_METHOD | platform::DISPATCH_PROPERTYGET;
        const auto list = DispatchInvoke(app, "ListAvailableSQLServers", get);
        const int n = platform::VarToInteger(DispatchInvoke(list, "Count", get));
        std::vector<AnsiString> names;
        for (int i = 1; i <= n; ++i) {
            names.push_back(platform::VarToStr(DispatchInvoke(
                list, "Item", platform::DISPATCH_METHOD, {platform::OleVariant(i)})));
        }
        return names;
    }

    static int Rounds(const platform::OleVariant& app) {
        return platform::VarToInteger(
            platform::DispatchInvoke(app, "BrowseRounds", platform::DISPATCH_PROPERTYGET));
    }

    testsupport::TempWorkstation ws;
};

TEST_F(Component, ListsEveryTargetsInstancesInOrderOnce) {
    UdpResponder alpha({ServerResponse(InstanceRecord("ALPHA", "MSSQLSERVER") +
                                       InstanceRecord("ALPHA", "COMPTA", 50001))});
    UdpResponder here({ServerResponse(InstanceRecord("POSTE-7", "MSSQLSERVER") +
                                      InstanceRecord("poste-7", "SQLEXPRESS", 50002))});
    UdpResponder again({ServerResponse(InstanceRecord("alpha", "compta"))});
    Targets({alpha.Target(), here.Target(), again.Target()});

    const auto app = platform::CreateOleObject("SQLDMO.Application");
    EXPECT_EQ(Names(app), (std::vector<AnsiString>{"ALPHA", "ALPHA\\COMPTA", "(local)",
                                                   "POSTE-7\\SQLEXPRESS"}));
    // Each target got one CLNT_UCAST_EX.
    for (const UdpResponder* r : {&alpha, &here, &again}) {
        EXPECT_EQ(r->Received(), std::vector<std::string>{"\x03"});
    }
}

TEST_F(Component, LaterRequestsAreAnsweredFromTheFirstBrowse) {
    UdpResponder alpha({ServerResponse(InstanceRecord("ALPHA", "MSSQLSERVER"))});
    Targets({alpha.Target()});
    const auto app = platform::CreateOleObject("SQLDMO.Application");
    const int before = Rounds(app);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Names(app), std::vector<AnsiString>{"ALPHA"});
    }
    EXPECT_EQ(Rounds(app) - before, 1);
    EXPECT_EQ(alpha.Requests(), 1);
}

TEST_F(Component, IgnoresWhatItCannotTrust) {
    // Garbage, a truncated answer and an answer from another port come first;
    // only the good answer of the asked address counts.
    UdpResponder mixed({"\x05\xff", "garbage",
                        ServerResponse(InstanceRecord("A", "I")).substr(0, 9),
                        ServerResponse(InstanceRecord("GOOD", "MSSQLSERVER"))});
    UdpResponder impostor({ServerResponse(InstanceRecord("EVIL", "MSSQLSERVER"))}, true);
    UdpResponder silent;
    Targets({mixed.Target(), impostor.Target(), silent.Target()}, 300);
    const auto app = platform::CreateOleObject("SQLDMO.Application");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Names(app), std::vector<AnsiString>{"GOOD"});
    std::printf("with targets that never answer, the browse took %lld ms (timeout 300 ms)\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count()));
    EXPECT_EQ(silent.Requests(), 1);
}

TEST_F(Component, ATargetThatNeverAnswersGivesAnEmptyList) {
    UdpResponder silent;
    Targets({silent.Target(), "127.0.0.1:1"}, 200);
    const auto app = platform::CreateOleObject("SQLDMO.Application");
    EXPECT_TRUE(Names(app).empty());
}

TEST_F(Component, ARefusedIndexAndABadConfigurationAreTheComponentsErrors) {
    UdpResponder alpha({ServerResponse(InstanceRecord("ALPHA", "MSSQLSERVER"))});
    Targets({alpha.Target()});
    const auto app = platform::CreateOleObject("SQLDMO.Application");
    const auto list =
        platform::DispatchInvoke(app, "ListAvailableSQLServers", platform::DISPATCH_METHOD);
    for (int index : {0, 2, -1}) {
        try {
            platform::DispatchInvoke(list, "item", platform::DISPATCH_METHOD,
                                     {platform::OleVariant(index)});
            ADD_FAILURE() << index << " accepted";
        } catch (const platform::EOleException& e) {
            EXPECT_EQ(e.Message(),
                      "[SQL-DMO]Index " + std::to_string(index) + " is out of range (1 to 1).");
            EXPECT_EQ(e.Source(), "Microsoft SQL-DMO");
        }
    }
    EXPECT_THROW(platform::DispatchInvoke(list, "item", platform::DISPATCH_METHOD,
                                          {platform::OleVariant("1")}),
                 platform::EOleSysError);
    EXPECT_THROW(platform::DispatchInvoke(list, "item", platform::DISPATCH_METHOD),
                 platform::EOleSysError);

    testsupport::TempWorkstation fresh;
    testsupport::RegisterSqlDmo();
    Targets({"127.0.0.1:notaport"});
    const auto other = platform::CreateOleObject("SQLDMO.Application");
    EXPECT_THROW(
        platform::DispatchInvoke(other, "ListAvailableSQLServers", platform::DISPATCH_METHOD),
        platform::EOleException);
}

TEST_F(Component, TheDiscoveryShowsTheLocalServerUnderTheComputersName) {
    UdpResponder here({ServerResponse(InstanceRecord("POSTE-7", "MSSQLSERVER") +
                                      InstanceRecord("POSTE-7", "COMPTA"))});
    UdpResponder other({ServerResponse(InstanceRecord("BETA", "MSSQLSERVER"))});
    Targets({here.Target(), other.Target()});
    platform::testing::RecordingApplication app;
    platform::TComboBox box;
    discovery::ListSqlServers(box, app);
    EXPECT_TRUE(app.Log().empty());
    ASSERT_EQ(box.ItemCount(), 3);
    EXPECT_EQ(box.Item(0), "POSTE-7");
    EXPECT_EQ(box.Item(1), "POSTE-7\\COMPTA");
    EXPECT_EQ(box.Item(2), "BETA");
    EXPECT_EQ(box.Text(), "POSTE-7");
    // n + 2 requests, one network round.
    EXPECT_EQ(here.Requests(), 1);
}

}  // namespace
