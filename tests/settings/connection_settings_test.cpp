// The connection settings: what Config.ini, the engine's aliases, the
// database component and the recorded alias hold after each outcome, and a
// prepared component logging in to the emulator as it is.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "engine/engine.h"
#include "platform/registry.h"
#include "settings/connection_settings.h"
#include "tests/support/emulator_process.h"
#include "tests/support/temp_workstation.h"

namespace {

namespace fs = std::filesystem;
using platform::AnsiString;
using testsupport::ReadFile;

constexpr const char* kProgramDir = "C:\\Sorvendale\\Quillorant\\";

engine::TStrings SevenLines(const std::string& server, const std::string& password) {
    return {"USER NAME=sa",         "PASSWORD=" + password, "BLOB SIZE=300",
            "BLOBS TO CACHE=10000", "DATABASE NAME=Master", "SERVER NAME=" + server,
            "LANGDRIVER=BLLT1FR0"};
}

const std::string kAddedAlias =
    "[Aliases\\Quillorant_SQL]\r\nDRIVER=MSSQL\r\nUSER NAME=sa\r\nBLOB SIZE=300\r\n"
    "BLOBS TO CACHE=10000\r\nLANGDRIVER=BLLT1FR0\r\n";

// An INI object whose second write the system refuses.
class SecondWriteRefused : public platform::TIniFile {
  public:
    using TIniFile::TIniFile;
    void WriteString(const AnsiString& section, const AnsiString& ident,
                     const AnsiString& value) override {
        if (++writes_ == 2)
            throw platform::EIniFileException("Impossible d'écrire dans " + FileName());
        TIniFile::WriteString(section, ident, value);
    }

  private:
    int writes_ = 0;
};

// A workstation with the product's folder, and a component holding what an
// earlier run left, so that each case shows what it changes.
struct Station {
    Station() {
        fs::create_directories(ws.Drive('c') / "Sorvendale" / "Quillorant");
        db.SetDatabaseName("Avant_DB");
        db.SetAliasName("Avant_Alias");
        db.AddParam("OLD=1");
    }

    bool Configure(const AnsiString& server, const AnsiString& password,
                   const AnsiString& programDir = kProgramDir) {
        return settings::ConfigureConnection(programDir, db, databaseAlias,
                                             [&](platform::TIniFile& ini, engine::TDatabase& d) {
                                                 return settings::WriteConnectionSettings(
                                                     ini, d, engine::Session(), server, password);
                                             });
    }

    fs::path ConfigIni() const {
        return ws.Drive('c') / "Sorvendale" / "Quillorant" / "Config.ini";
    }
    fs::path EngineIni() const {
        return ws.Drive('c') / "ProgramData" / "Quillorant" / "Database Engine" / "engine.ini";
    }
    std::optional<std::string> Bytes(const fs::path& file) const {
        if (!fs::is_regular_file(file))
            return std::nullopt;
        return ReadFile(file);
    }
    void ExpectUntouchedComponent() const {
        EXPECT_EQ(db.DatabaseName(), "Avant_DB");
        EXPECT_EQ(db.AliasName(), "Avant_Alias");
        EXPECT_EQ(databaseAlias, "Avant");
    }

    testsupport::TempWorkstation ws;
    engine::TDatabase db{nullptr};
    AnsiString databaseAlias = "Avant";
};

class ConnectionSettings : public ::testing::Test, public Station {};

TEST_F(ConnectionSettings, SuccessRecordsTheServerAndPreparesTheComponent) {
    struct Row {
        const char* what;
        std::optional<std::string> before;
        const char* server;
        const char* password;
        std::string after;
    };
    const Row rows[] = {
        {"Config.ini missing", std::nullopt, "SRV-A", "secret",
         "[Main]\r\nSQLServerName=SRV-A\r\nSAPWD=4FFF32956DA0\r\n"},
        {"other sections kept, keys changed in place, names in another case",
         "; Quillorant\r\n[DBKERNEL]\r\nAlias=Compta\r\n\r\n[main]\r\nLangue=FR\r\n"
         "sqlservername=ANCIEN\r\nSAPWD=00\r\n\r\n[Fin]\r\nx=1\r\n",
         "srv-b\\INST", "secret",
         "; Quillorant\r\n[DBKERNEL]\r\nAlias=Compta\r\n\r\n[main]\r\nLangue=FR\r\n"
         "sqlservername=srv-b\\INST\r\nSAPWD=4FFF32956DA0\r\n\r\n[Fin]\r\nx=1\r\n"},
        {"section without the keys, LF file", "[Main]\nLangue=FR\n\n[Autre]\n", "SRV-A", "secret",
         "[Main]\nLangue=FR\nSQLServerName=SRV-A\nSAPWD=4FFF32956DA0\n\n[Autre]\n"},
        {"empty password", "[Main]\r\nSAPWD=4FFF32956DA0\r\n", "SRV-A", "",
         "[Main]\r\nSAPWD=\r\nSQLServerName=SRV-A\r\n"},
        {"password with = and ;", std::nullopt, " SRV-A ", "Sa=1;pw",
         "[Main]\r\nSQLServerName= SRV-A \r\nSAPWD=6FFB6CD633A41C\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(ConfigIni());
        if (row.before)
            ws.WriteFile(ConfigIni(), *row.before);

        EXPECT_TRUE(Configure(row.server, row.password));

        EXPECT_EQ(Bytes(ConfigIni()), row.after);
        EXPECT_EQ(db.Params(), SevenLines(row.server, row.password));
        EXPECT_EQ(db.DatabaseName(), "Quillorant_SQL");
        EXPECT_EQ(db.AliasName(), "Quillorant_SQL");
        EXPECT_EQ(databaseAlias, "Quillorant_SQL");
        EXPECT_EQ(Bytes(EngineIni()), kAddedAlias) << "added once, then used as it is";
    }
}

TEST_F(ConnectionSettings, AnAliasTheEngineKnowsIsUsedAsItStands) {
    const std::string known =
        "[Aliases\\QUILLORANT_SQL]\nDRIVER=MSSQL\nUSER NAME=autre\nSERVER NAME=ailleurs\n";
    ws.WriteFile(EngineIni(), known);
    EXPECT_TRUE(Configure("SRV-A", "secret"));
    EXPECT_EQ(ReadFile(EngineIni()), known);
    EXPECT_EQ(db.Params(), SevenLines("SRV-A", "secret"));
}

TEST_F(ConnectionSettings, SecondCallLeavesOnlyItsOwnSevenLines) {
    ASSERT_TRUE(Configure("SRV-A", "secret"));
    ASSERT_TRUE(Configure("SRV-B", "autre"));
    EXPECT_EQ(db.Params(), SevenLines("SRV-B", "autre"));
    EXPECT_EQ(ReadFile(ConfigIni()), "[Main]\r\nSQLServerName=SRV-B\r\nSAPWD=5DEF25956D\r\n");
}

TEST_F(ConnectionSettings, EmptyServerNameUsesTheProductsKernelAlias) {
    ws.WriteFile(ConfigIni(), "[DBKERNEL]\r\nALIAS = \"Compta\" \r\n");
    EXPECT_TRUE(Configure("", "secret"));
    EXPECT_EQ(db.AliasName(), "Compta");
    EXPECT_EQ(db.DatabaseName(), "Compta");
    EXPECT_TRUE(db.Params().empty());
    EXPECT_EQ(databaseAlias, "Compta");
    EXPECT_EQ(ReadFile(ConfigIni()),
              "[DBKERNEL]\r\nALIAS = \"Compta\" \r\n[Main]\r\nSQLServerName=\r\n"
              "SAPWD=4FFF32956DA0\r\n");
    EXPECT_FALSE(fs::exists(EngineIni())) << "no alias work for the product's own alias";
}

// Every failure is the result false; what each leaves behind.
TEST(ConnectionSettingsFailures, LeaveWhatWasDoneAndNoMore) {
    const std::string before = "[Main]\r\nSQLServerName=ANCIEN\r\nSAPWD=00\r\n";
    const std::string bothNew = "[Main]\r\nSQLServerName=SRV-A\r\nSAPWD=4FFF32956DA0\r\n";
    struct Row {
        const char* what;
        std::function<void(Station&)> arrange;
        const char* server;
        std::optional<std::string> configAfter;
        bool namesSet;  // DatabaseName and AliasName "Quillorant_SQL"
    };
    const Row rows[] = {
        {"product folder missing",
         [](Station& s) { fs::remove_all(s.ws.Drive('c') / "Sorvendale"); }, "SRV-A", std::nullopt,
         false},
        {"Config.ini read-only",
         [&before](Station& s) {
             s.ws.WriteFile(s.ConfigIni(), before);
             fs::permissions(s.ConfigIni(), fs::perms::owner_read);
         },
         "SRV-A", before, false},
        {"empty server name, no DBKERNEL section",
         [&before](Station& s) { s.ws.WriteFile(s.ConfigIni(), before); }, "",
         "[Main]\r\nSQLServerName=\r\nSAPWD=4FFF32956DA0\r\n", false},
        {"empty server name, empty DBKERNEL Alias",
         [](Station& s) { s.ws.WriteFile(s.ConfigIni(), "[DBKERNEL]\r\nAlias=\r\n"); }, "",
         "[DBKERNEL]\r\nAlias=\r\n[Main]\r\nSQLServerName=\r\nSAPWD=4FFF32956DA0\r\n", false},
        {"the engine's configuration cannot be read",
         [&before](Station& s) {
             s.ws.WriteFile(s.ConfigIni(), before);
             fs::create_directories(s.EngineIni());
         },
         "SRV-A", bothNew, true},
        {"the alias cannot be added",
         [&before](Station& s) {
             s.ws.WriteFile(s.ConfigIni(), before);
             s.ws.WriteFile(s.EngineIni(), "[Drivers\\MSSQL]\r\nLOGIN TIMEOUT=5\r\n");
             fs::permissions(s.EngineIni(), fs::perms::owner_read);
         },
         "SRV-A", bothNew, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Station s;
        row.arrange(s);
        const auto engineBefore = s.Bytes(s.EngineIni());

        EXPECT_FALSE(s.Configure(row.server, "secret"));

        EXPECT_EQ(s.Bytes(s.ConfigIni()), row.configAfter);
        EXPECT_TRUE(s.db.Params().empty());
        if (row.namesSet) {
            EXPECT_EQ(s.db.DatabaseName(), "Quillorant_SQL");
            EXPECT_EQ(s.db.AliasName(), "Quillorant_SQL");
            EXPECT_EQ(s.databaseAlias, "Avant");
        } else {
            s.ExpectUntouchedComponent();
        }
        if (fs::is_regular_file(s.EngineIni())) {
            EXPECT_EQ(s.Bytes(s.EngineIni()), engineBefore);
        }
    }
}

TEST_F(ConnectionSettings, SecondWriteRefusedKeepsTheFirst) {
    ws.WriteFile(ConfigIni(), "[Main]\r\nSAPWD=00\r\n");
    engine::TDatabase& component = db;
    const bool result = settings::ConfigureConnection(
        kProgramDir, component, databaseAlias, [&](platform::TIniFile&, engine::TDatabase& d) {
            SecondWriteRefused ini(AnsiString(kProgramDir) + "Config.ini");
            return settings::WriteConnectionSettings(ini, d, engine::Session(), "SRV-A", "secret");
        });
    EXPECT_FALSE(result);
    EXPECT_EQ(ReadFile(ConfigIni()), "[Main]\r\nSAPWD=00\r\nSQLServerName=SRV-A\r\n");
    EXPECT_TRUE(db.Params().empty());
    ExpectUntouchedComponent();
}

// The prepared component logs in as it is, through the real client stack.
class ConnectionSettingsAgainstEmulator : public ConnectionSettings {
  protected:
    static constexpr const char* kPassword = "Sa=1;pw";
    void SetUp() override {
        ConnectionSettings::SetUp();
        testsupport::EmulatorOptions options;
        options.workstation = ws.Root();
        options.data = ws.Root() / "emulator-data";
        options.saPassword = kPassword;
        emulator = std::make_unique<testsupport::EmulatorProcess>(options);
    }
    std::string Server() const { return "127.0.0.1," + std::to_string(emulator->Port()); }
    std::unique_ptr<testsupport::EmulatorProcess> emulator;
};

TEST_F(ConnectionSettingsAgainstEmulator, PreparedComponentLogsInWithTheClearPassword) {
    ASSERT_TRUE(Configure(Server(), kPassword));
    db.SetConnected(true);
    EXPECT_TRUE(db.Connected());
    db.SetConnected(false);
}

TEST_F(ConnectionSettingsAgainstEmulator, ConnectedComponentIsRefusedBeforeAnythingIsWritten) {
    ASSERT_TRUE(Configure(Server(), kPassword));
    const std::string config = ReadFile(ConfigIni());
    db.SetConnected(true);

    EXPECT_FALSE(Configure("SRV-B", "autre"));

    EXPECT_EQ(ReadFile(ConfigIni()), config);
    EXPECT_EQ(db.Params(), SevenLines(Server(), kPassword)) << "a connected component keeps them";
    EXPECT_EQ(databaseAlias, "Quillorant_SQL");
    db.SetConnected(false);
}

}  // namespace
