// The engine through the real client stack (unixODBC, FreeTDS, TDS) against
// the emulator on loopback: logins, aliases and the restore.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/engine.h"
#include "platform/registry.h"
#include "tests/support/emulator_process.h"
#include "tests/support/temp_workstation.h"

namespace {

using namespace platform::literals;
using engine::EDatabaseError;
using platform::AnsiString;
namespace fs = std::filesystem;

constexpr const char* kPassword = "Emul-Sa-2026";

class EngineAgainstEmulator : public ::testing::Test {
  protected:
    void SetUp() override { Start(kPassword); }

    void Start(const std::string& password) {
        emulator.reset();
        testsupport::EmulatorOptions options;
        options.workstation = ws.Root();
        options.data = ws.Root() / "emulator-data";
        options.saPassword = password;
        emulator = std::make_unique<testsupport::EmulatorProcess>(options);
    }

    std::string Server() const { return "127.0.0.1," + std::to_string(emulator->Port()); }

    // The seven lines the installer gives its database component.
    void SevenLines(engine::TDatabase& db, const std::string& password,
                    const std::string& server = {}) {
        db.ClearParams();
        const engine::TStrings lines = {
            "USER NAME=sa",         "PASSWORD=" + password,
            "BLOB SIZE=300",        "BLOBS TO CACHE=10000",
            "DATABASE NAME=Master", "SERVER NAME=" + (server.empty() ? Server() : server),
            "LANGDRIVER=BLLT1FR0"};
        for (const AnsiString& line : lines)
            db.AddParam(line);
    }

    void Run(engine::TDatabase& db, const AnsiString& sql) {
        engine::TQuery query(nullptr);
        query.SQL = {sql};
        query.SetDatabaseName(AsciiLower(db.DatabaseName()));
        query.ExecSQL();
    }

    static AnsiString AsciiLower(AnsiString s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    // A backup "Quillorant.Bak" in C:\Setup\ holding the logical files
    // Quillorant and Quillorant_log, made by the emulator itself.
    void MakeBackup(engine::TDatabase& db) {
        fs::create_directories(ws.Drive('c') / "Setup");
        Run(db, "CREATE DATABASE Quillorant");
        Run(db, "BACKUP DATABASE Quillorant TO DISK = 'C:\\Setup\\Quillorant.Bak'");
        Run(db, "DROP DATABASE Quillorant");
    }

    static AnsiString RestoreStatement(const AnsiString& backupDir, const AnsiString& dataDir,
                                       const AnsiString& dataName = "Quillorant") {
        return "RESTORE DATABASE Quillorant FROM DISK = '" + backupDir +
               "Quillorant.Bak' WITH MOVE '" + dataName + "' to '" + dataDir +
               "Quillorant.mdf', MOVE 'Quillorant_log' to '" + dataDir + "Quillorant_log.ldf'";
    }

    testsupport::TempWorkstation ws;
    std::unique_ptr<testsupport::EmulatorProcess> emulator;
};

TEST_F(EngineAgainstEmulator, ConnectsWithTheSevenLinesAndKeepsPropertiesWhileConnected) {
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, kPassword);
    db.SetConnected(true);
    EXPECT_TRUE(db.Connected());
    EXPECT_THROW(db.ClearParams(), EDatabaseError);
    EXPECT_THROW(db.AddParam("X=1"), EDatabaseError);
    EXPECT_THROW(db.SetAliasName("Other"), EDatabaseError);
    EXPECT_THROW(db.SetDatabaseName("Other"), EDatabaseError);
    EXPECT_EQ(db.Params().size(), 7u);
    db.SetConnected(false);
    EXPECT_FALSE(db.Connected());
    db.SetDatabaseName("Other");
}

TEST_F(EngineAgainstEmulator, LoginFailuresCarryTheServersText) {
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, "wrong");
    try {
        db.SetConnected(true);
        FAIL() << "connected with a wrong password";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("Login failed for user 'sa'."), AnsiString::npos) << e.Message();
    }
    EXPECT_FALSE(db.Connected());

    SevenLines(db, kPassword);
    db.AddParam("DATABASE NAME=Comptabilite");
    try {
        db.SetConnected(true);
        FAIL() << "connected to a missing database";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("Cannot open database \"Comptabilite\""), AnsiString::npos)
            << e.Message();
    }
}

TEST_F(EngineAgainstEmulator, NoServerAtThePortFailsWithinTheLoginTimeout) {
    const int port = emulator->Port();
    emulator->Stop();
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, kPassword, "127.0.0.1," + std::to_string(port));
    EXPECT_THROW(db.SetConnected(true), EDatabaseError);
}

TEST_F(EngineAgainstEmulator, PasswordsWithConnectionStringCharactersArriveIntact) {
    for (const std::string password :
         {"a;b}c=d", "{x}", "x}", "'q\"uote;UID=other", "pass word ", "Mötley€"}) {
        Start(password);  // the emulator reads it as UTF-8, the engine holds Windows-1252
        const AnsiString ansi = platform::Utf8ToAnsi(password);
        engine::TDatabase db(nullptr);
        db.SetDatabaseName("Quillorant_SQL");
        SevenLines(db, ansi);
        try {
            db.SetConnected(true);
        } catch (const EDatabaseError& e) {
            ADD_FAILURE() << password << ": " << e.Message();
        }
        db.SetConnected(false);
        SevenLines(db, ansi + "x");
        EXPECT_THROW(db.SetConnected(true), EDatabaseError) << password;
    }
    // FreeTDS cannot receive "};": refused before any login, never cut short.
    Start("x};UID=intruder");
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, "x};UID=intruder");
    try {
        db.SetConnected(true);
        ADD_FAILURE() << "connected";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("FreeTDS ODBC driver cannot receive"), AnsiString::npos)
            << e.Message();
    }
}

TEST_F(EngineAgainstEmulator, ClientAliasPointsAComputerNameAtThePort) {
    platform::SetValue(platform::HKEY_LOCAL_MACHINE,
                       "SOFTWARE\\Microsoft\\MSSQLServer\\Client\\ConnectTo",
                       platform::RegValue::String(
                           "POSTE-TEST", "DBMSSOCN,127.0.0.1," + std::to_string(emulator->Port())));
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, kPassword, "poste-test");
    EXPECT_NO_THROW(db.SetConnected(true));
}

TEST_F(EngineAgainstEmulator, AnExistingAliasIsUsedUnchanged) {
    engine::TSession& session = engine::Session();
    const fs::path file =
        ws.Drive('c') / "ProgramData" / "Quillorant" / "Database Engine" / "engine.ini";
    // Stored lines name the server; Params give only the password.
    const std::string stored =
        "[Aliases\\Quillorant_SQL]\r\nDRIVER=MSSQL\r\nUSER NAME=sa\r\n"
        "SERVER NAME=" +
        Server() + "\r\nDATABASE NAME=master\r\n";
    ws.WriteFile(file, stored);
    ASSERT_TRUE(session.IsAlias("QUILLORANT_SQL"));
    engine::TDatabase db(nullptr);
    db.SetAliasName("Quillorant_SQL");
    db.SetDatabaseName("Quillorant_SQL");
    db.AddParam("PASSWORD=" + std::string(kPassword));
    db.SetConnected(true);
    db.SetConnected(false);
    EXPECT_EQ(testsupport::ReadFile(file), stored);
}

TEST_F(EngineAgainstEmulator, RestoreCreatesTheFiles) {
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, kPassword);
    MakeBackup(db);
    // An accented folder reaches the server intact (Windows-1252 client).
    const AnsiString dataDir = "C:\\Données SQL\\Data\\"_ansi;
    fs::create_directories(ws.Drive('c') / "Données SQL" / "Data");
    Run(db, RestoreStatement("C:\\Setup\\", dataDir));
    EXPECT_TRUE(fs::exists(ws.Drive('c') / "Données SQL" / "Data" / "Quillorant.mdf"));
    EXPECT_TRUE(fs::exists(ws.Drive('c') / "Données SQL" / "Data" / "Quillorant_log.ldf"));
    EXPECT_TRUE(db.Connected());
}

TEST_F(EngineAgainstEmulator, RestoreFailuresCarryTheServersMessages) {
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, kPassword);
    MakeBackup(db);
    fs::create_directories(ws.Drive('c') / "Data");
    fs::create_directories(ws.Drive('c') / "Used");
    ws.WriteFile(ws.Drive('c') / "Used" / "Quillorant.mdf", "someone's file");

    const struct {
        const char* what;
        AnsiString statement;
        const char* message;
    } cases[] = {
        {"missing backup", RestoreStatement("C:\\Nowhere\\", "C:\\Data\\"),
         "Cannot open backup device 'C:\\Nowhere\\Quillorant.Bak'"},
        {"missing folder", RestoreStatement("C:\\Setup\\", "C:\\Missing\\"),
         "Directory lookup for the file \"C:\\Missing\\Quillorant.mdf\" failed"},
        {"unknown logical name", RestoreStatement("C:\\Setup\\", "C:\\Data\\", "Quillorant_Data"),
         "Logical file 'Quillorant_Data' is not part of database"},
        {"existing file", RestoreStatement("C:\\Setup\\", "C:\\Used\\"),
         "Cannot create file 'C:\\Used\\Quillorant.mdf' because it already exists"},
    };
    for (const auto& c : cases) {
        try {
            Run(db, c.statement);
            ADD_FAILURE() << c.what << ": restored";
        } catch (const EDatabaseError& e) {
            EXPECT_NE(e.Message().find(c.message), AnsiString::npos)
                << c.what << ": " << e.Message();
            EXPECT_NE(e.Message().find("RESTORE DATABASE is terminating abnormally."),
                      AnsiString::npos)
                << c.what << ": " << e.Message();
        }
    }
    EXPECT_FALSE(fs::exists(ws.Drive('c') / "Data" / "Quillorant.mdf"));
    EXPECT_EQ(testsupport::ReadFile(ws.Drive('c') / "Used" / "Quillorant.mdf"), "someone's file");
    // The connection is still usable after the failures.
    Run(db, RestoreStatement("C:\\Setup\\", "C:\\Data\\"));
    EXPECT_TRUE(fs::exists(ws.Drive('c') / "Data" / "Quillorant_log.ldf"));
}

TEST_F(EngineAgainstEmulator, AnyOtherStatementIsTheServersSyntaxError) {
    engine::TDatabase db(nullptr);
    db.SetDatabaseName("Quillorant_SQL");
    SevenLines(db, kPassword);
    try {
        Run(db, "RESTAURE DATABASE Quillorant");
        FAIL();
    } catch (const EDatabaseError& e) {
        EXPECT_NE(e.Message().find("Incorrect syntax near"), AnsiString::npos) << e.Message();
    }
}

}  // namespace
