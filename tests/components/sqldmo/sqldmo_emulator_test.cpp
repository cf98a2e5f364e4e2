// The management objects against the emulator's SQL Server Browser on
// loopback: emulators on workstations of their own stand for servers on
// other machines, one sharing this workstation's computer name for this one.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "discovery/server_list.h"
#include "platform/automation.h"
#include "platform/hive.h"
#include "platform/testing/recording_application.h"
#include "tests/components/sqldmo/sqldmo_registration.h"
#include "tests/components/sqldmo/udp_responder.h"
#include "tests/support/emulator_process.h"
#include "tests/support/temp_workstation.h"

namespace {

using platform::AnsiString;

std::string ComputerNameReg(const std::string& name) {
    return "REGEDIT4\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]"
           "\r\n\"ComputerName\"=\"" +
           name + "\"\r\n";
}

// A machine of its own: a workstation folder named after its computer,
// running an emulator with its browser.
class Machine {
  public:
    Machine(const std::string& computer, const std::string& instance) {
        std::string templ = (std::filesystem::temp_directory_path() / "quill-srv-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        root_ = templ;
        std::filesystem::create_directories(root_ / "drives" / "c");
        std::filesystem::create_directories(root_ / "registry");
        platform::Hive(platform::Workstation(root_)).Import(ComputerNameReg(computer));
        testsupport::EmulatorOptions options;
        options.workstation = root_;
        options.browser = true;
        options.instance = instance;
        emulator_ = std::make_unique<testsupport::EmulatorProcess>(options);
    }
    ~Machine() {
        emulator_.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string Target() const { return "127.0.0.1:" + std::to_string(emulator_->BrowserPort()); }

  private:
    std::filesystem::path root_;
    std::unique_ptr<testsupport::EmulatorProcess> emulator_;
};

class AgainstTheEmulator : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::CoInitialize(nullptr);
        testsupport::RegisterSqlDmo();
        platform::Hive().Import(ComputerNameReg("POSTE-7"));
    }
    void TearDown() override { platform::CoUninitialize(); }

    void Targets(const std::vector<std::string>& targets) {
        std::string list;
        for (const std::string& t : targets) {
            list += (list.empty() ? "" : ";") + t;
        }
        platform::Hive().Import(
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillorant\\SQLDMO]\r\n"
            "\"BrowseTargets\"=\"" +
            list + "\"\r\n\"TimeoutMs\"=dword:000001f4\r\n");
    }

    testsupport::TempWorkstation ws;
};

TEST_F(AgainstTheEmulator, DefaultAndNamedInstancesHereAndElsewhere) {
    Machine alpha("ALPHA", "");                // default instance, MSSQLSERVER
    Machine compta("BETA", "COMPTA");          // a named instance elsewhere
    Machine here("POSTE-7", "");               // this computer's default instance
    Machine express("POSTE-7", "SQLEXPRESS");  // and a named one of it
    testsupport::UdpResponder silent;          // a target that never answers
    Targets({alpha.Target(), silent.Target(), compta.Target(), here.Target(), express.Target()});

    // The component itself.
    {
        const auto app = platform::CreateOleObject("SQLDMO.Application");
        const auto list =
            platform::DispatchInvoke(app, "ListAvailableSQLServers", platform::DISPATCH_METHOD);
        std::vector<AnsiString> names;
        const int n = platform::VarToInteger(
            platform::DispatchInvoke(list, "Count", platform::DISPATCH_PROPERTYGET));
        for (int i = 1; i <= n; ++i) {
            names.push_back(platform::VarToStr(platform::DispatchInvoke(
                list, "item", platform::DISPATCH_METHOD, {platform::OleVariant(i)})));
        }
        EXPECT_EQ(names, (std::vector<AnsiString>{"ALPHA", "BETA\\COMPTA", "(local)",
                                                  "POSTE-7\\SQLEXPRESS"}));
    }

    // The installer's discovery, on a fresh workstation so that the browse is
    // made again, ending within the timeout although one target is silent.
    testsupport::TempWorkstation again;
    testsupport::RegisterSqlDmo();
    platform::Hive().Import(ComputerNameReg("POSTE-7"));
    Targets({alpha.Target(), silent.Target(), compta.Target(), here.Target(), express.Target()});
    platform::testing::RecordingApplication app;
    platform::TComboBox box;
    const auto started = std::chrono::steady_clock::now();
    discovery::ListSqlServers(box, app);
    std::printf("discovery with one silent target: %lld ms (timeout 500 ms)\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count()));
    EXPECT_TRUE(app.Log().empty());
    std::vector<AnsiString> items;
    for (int i = 0; i < box.ItemCount(); ++i) {
        items.push_back(box.Item(i));
    }
    EXPECT_EQ(items,
              (std::vector<AnsiString>{"ALPHA", "BETA\\COMPTA", "POSTE-7", "POSTE-7\\SQLEXPRESS"}));
    EXPECT_EQ(box.Text(), "ALPHA");
    EXPECT_EQ(silent.Requests(), 2);
}

}  // namespace
