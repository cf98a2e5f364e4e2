// A running emulator on a throw-away workstation with drives C: and D:, and
// a logged-in test client; shared by the emulator's process-level tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/workstation.h"
#include "tests/emulator/tds_client.h"
#include "tests/support/emulator_process.h"
#include "tests/support/temp_workstation.h"

namespace emulatortest {

namespace fs = std::filesystem;

class EmulatorTest : public ::testing::Test {
  public:
    void SetUp() override {
        fs::create_directories(ws_.Drive('d'));
        Start();
    }

    void Start(testsupport::EmulatorOptions options = {}) {
        client_.reset();
        emulator_.reset();
        options.workstation = ws_.Root();
        emulator_ = std::make_unique<testsupport::EmulatorProcess>(options);
    }

    std::unique_ptr<tdstest::Client> Connect(const std::string& database = "") {
        auto c = std::make_unique<tdstest::Client>(emulator_->Port());
        tdstest::LoginRequest login;
        login.password = emulator_->Options().saPassword;
        login.database = database;
        const auto r = c->Login(login);
        EXPECT_TRUE(c->LoggedIn()) << testing::PrintToString(r.Numbers());
        return c;
    }

    // A batch on the fixture's own connection.
    tdstest::Response Sql(const std::string& batch) {
        if (!client_) {
            client_ = Connect();
        }
        return client_->Batch(batch);
    }

    fs::path Host(const std::string& windowsPath) const {
        return *platform::HostPath(windowsPath, platform::Workstation(ws_.Root()));
    }

    std::vector<std::string> Databases() {
        std::vector<std::string> names;
        for (const auto& row : Sql("SELECT name FROM sys.databases").rows) {
            names.push_back(row.at(0).value_or(""));
        }
        return names;
    }

    bool HasDatabase(const std::string& name) {
        for (const auto& n : Databases()) {
            if (n == name) {
                return true;
            }
        }
        return false;
    }

    // The names in a host folder, sorted (temporary files included).
    static std::vector<std::string> Listing(const fs::path& folder) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(folder, ec)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::TempWorkstation ws_;
    std::unique_ptr<testsupport::EmulatorProcess> emulator_;
    std::unique_ptr<tdstest::Client> client_;
};

inline std::vector<int> Numbers(const tdstest::Response& r) {
    return r.Numbers();
}

}  // namespace emulatortest
