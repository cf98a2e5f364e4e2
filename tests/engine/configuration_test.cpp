// The engine's configuration file: aliases found without regard to case,
// added for good and atomically, refused without touching the file.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/configuration.h"
#include "engine/engine.h"
#include "platform/registry.h"
#include "tests/support/temp_workstation.h"

namespace {

using engine::Alias;
using engine::Configuration;
using engine::EDatabaseError;

const engine::TStrings kLines = {"USER NAME=sa", "BLOB SIZE=300", "BLOBS TO CACHE=10000",
                                 "LANGDRIVER=BLLT1FR0"};

class ConfigurationTest : public ::testing::Test {
  protected:
    std::filesystem::path ConfigFile() const {
        return ws.Drive('c') / "ProgramData" / "Quillorant" / "Database Engine" / "engine.ini";
    }
    testsupport::TempWorkstation ws;
};

TEST_F(ConfigurationTest, AliasAddedIsFoundWithItsDriverAndLines) {
    const Configuration config = Configuration::OfWorkstation();
    EXPECT_EQ(config.Path(), engine::kDefaultConfigFile);
    EXPECT_FALSE(config.FindAlias("Quillorant_SQL"));

    config.AddAlias({"Quillorant_SQL", "MSSQL", kLines});
    for (const char* name : {"Quillorant_SQL", "QUILLORANT_sql"}) {
        const auto alias = config.FindAlias(name);
        ASSERT_TRUE(alias) << name;
        EXPECT_EQ(alias->driver, "MSSQL");
        EXPECT_EQ(alias->lines, kLines);
    }
    EXPECT_FALSE(config.FindAlias(""));
    EXPECT_EQ(testsupport::ReadFile(ConfigFile()),
              "[Aliases\\Quillorant_SQL]\r\nDRIVER=MSSQL\r\nUSER NAME=sa\r\nBLOB SIZE=300\r\n"
              "BLOBS TO CACHE=10000\r\nLANGDRIVER=BLLT1FR0\r\n");
}

TEST_F(ConfigurationTest, AdditionKeepsEveryExistingByte) {
    const std::string before =
        "; kept\n[Drivers\\MSSQL]\nODBC DRIVER = FreeTDS \n\n[Aliases\\Other]\nDRIVER=MSSQL";
    ws.WriteFile(ConfigFile(), before);
    Configuration::OfWorkstation().AddAlias({"Quillorant_SQL", "MSSQL", kLines});
    const std::string after = testsupport::ReadFile(ConfigFile());
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(after.substr(before.size()),
              "\n\n[Aliases\\Quillorant_SQL]\nDRIVER=MSSQL\nUSER NAME=sa\n"
              "BLOB SIZE=300\nBLOBS TO CACHE=10000\nLANGDRIVER=BLLT1FR0\n");
    EXPECT_TRUE(Configuration::OfWorkstation().FindAlias("Other"));
}

TEST_F(ConfigurationTest, RefusedAdditionsLeaveTheFileAsItWas) {
    const std::string before = "[Aliases\\Quillorant_SQL]\r\nDRIVER=MSSQL\r\n";
    ws.WriteFile(ConfigFile(), before);
    const Configuration config = Configuration::OfWorkstation();
    const std::vector<Alias> refused = {
        {"quillorant_sql", "MSSQL", kLines},        // already there
        {"", "MSSQL", kLines},                      // no name
        {"A]\r\n[Aliases\\B", "MSSQL", kLines},     // would add a section
        {"New", "PARADOX", kLines},                 // no such driver
        {"New", "MSSQL", {"PASSWORD"}},             // not NAME=value
        {"New", "MSSQL", {"USER NAME=sa\r\nX=1"}},  // would add a line
    };
    for (const Alias& alias : refused) {
        EXPECT_THROW(config.AddAlias(alias), EDatabaseError) << alias.name;
        EXPECT_EQ(testsupport::ReadFile(ConfigFile()), before) << alias.name;
    }
}

TEST_F(ConfigurationTest, AdditionThatCannotWriteLeavesNoFile) {
    // The engine's folder cannot be made: a file stands where it would go.
    ws.WriteFile(ws.Drive('c') / "ProgramData" / "Quillorant", "not a folder");
    EXPECT_THROW(Configuration::OfWorkstation().AddAlias({"Quillorant_SQL", "MSSQL", kLines}),
                 EDatabaseError);
    EXPECT_EQ(testsupport::ReadFile(ws.Drive('c') / "ProgramData" / "Quillorant"), "not a folder");
}

TEST_F(ConfigurationTest, AnAliasAddedByOneProcessIsKnownInTheNext) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        engine::TSession session("Default");
        session.AddAlias("Quillorant_SQL", "MSSQL", kLines);
        _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    engine::TSession later("Default");
    EXPECT_TRUE(later.IsAlias("Quillorant_SQL"));
    EXPECT_FALSE(later.IsAlias(""));
    EXPECT_FALSE(later.IsAlias("Quillorant"));
}

TEST_F(ConfigurationTest, TheRegistryNamesAnotherFile) {
    platform::SetValue(platform::HKEY_LOCAL_MACHINE, engine::kConfigRegistryKey,
                       platform::RegValue::String("ConfigFile", "D:\\Engine\\ENGINE.INI"));
    std::filesystem::create_directories(ws.Drive('d'));
    const Configuration config = Configuration::OfWorkstation();
    EXPECT_EQ(config.Path(), "D:\\Engine\\ENGINE.INI");
    config.AddAlias({"X", "MSSQL", {}});
    EXPECT_TRUE(std::filesystem::exists(ws.Drive('d') / "Engine" / "ENGINE.INI"));
}

TEST_F(ConfigurationTest, DriverSettingsHaveDefaultsAndAreChecked) {
    const Configuration config = Configuration::OfWorkstation();
    EXPECT_EQ(config.Driver("MSSQL").odbcDriver, "FreeTDS");
    EXPECT_EQ(config.Driver("MSSQL").loginTimeoutSeconds, 15);

    ws.WriteFile(ConfigFile(),
                 "[drivers\\mssql]\nODBC DRIVER=ODBC Driver 18 for SQL Server\nLOGIN TIMEOUT=3\n"
                 "ODBC ATTRIBUTES=Encrypt=no\n");
    EXPECT_EQ(config.Driver("MSSQL").odbcDriver, "ODBC Driver 18 for SQL Server");
    EXPECT_EQ(config.Driver("MSSQL").loginTimeoutSeconds, 3);
    EXPECT_EQ(config.Driver("MSSQL").odbcAttributes, "Encrypt=no");

    ws.WriteFile(ConfigFile(), "[Drivers\\MSSQL]\nLOGIN TIMEOUT=soon\n");
    EXPECT_THROW(config.Driver("MSSQL"), EDatabaseError);
}

TEST_F(ConfigurationTest, TheEngineDoesNotStartOnAnUnreadableConfiguration) {
    std::filesystem::create_directories(ConfigFile());  // a folder where the file should be
    engine::TSession session("Default");
    try {
        session.IsAlias("Quillorant_SQL");
        FAIL() << "started";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot start the database engine: ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(session.Active());
    EXPECT_THROW(session.AddAlias("Quillorant_SQL", "MSSQL", kLines), EDatabaseError);
}

TEST_F(ConfigurationTest, SessionFoldersMustExist) {
    engine::TSession session("Default");
    EXPECT_EQ(session.PrivateDir(), "");
    session.SetNetFileDir("C:\\");
    session.SetPrivateDir("c:\\");
    EXPECT_EQ(session.NetFileDir(), "C:\\");
    EXPECT_EQ(session.PrivateDir(), "c:\\");
    EXPECT_THROW(session.SetPrivateDir("C:\\Missing\\"), EDatabaseError);
    EXPECT_THROW(session.SetNetFileDir("Q:\\"), EDatabaseError);
    EXPECT_EQ(session.PrivateDir(), "c:\\");
    EXPECT_EQ(session.NetFileDir(), "C:\\");
}

}  // namespace
