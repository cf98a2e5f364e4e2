// The hive file: load, update, import, export.
#include "platform/hive.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_workstation.h"

namespace fs = std::filesystem;
using namespace platform;
using testsupport::ReadFile;

namespace {

class HiveTest : public testing::Test {
  protected:
    fs::path HiveFile() const { return Workstation::Current().HivePath(); }
    testsupport::TempWorkstation ws_;
};

TEST_F(HiveTest, AMissingFileIsAnEmptyHiveAndLoadingWritesNothing) {
    Hive hive;
    EXPECT_FALSE(hive.Exists());
    EXPECT_TRUE(hive.Writable());
    EXPECT_TRUE(hive.Load().SubKeys().empty());
    EXPECT_EQ(hive.Export(), "REGEDIT4\r\n\r\n");
    EXPECT_FALSE(fs::exists(HiveFile()));
    EXPECT_TRUE(fs::is_empty(ws_.Root() / "registry"));
}

TEST_F(HiveTest, CreateIfMissingKeepsAnExistingHive) {
    Hive hive;
    hive.CreateIfMissing();
    EXPECT_EQ(ReadFile(HiveFile()), "REGEDIT4\r\n\r\n");
    ws_.WriteFile(HiveFile(), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n");
    hive.CreateIfMissing();
    EXPECT_EQ(ReadFile(HiveFile()), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n");
}

TEST_F(HiveTest, ImportMergesAndDeletesAsRegeditDoes) {
    Hive hive;
    hive.Import(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\"keep\"=\"1\"\n\"drop\"=\"2\"\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone\\Child]\n");
    hive.Import(
        "REGEDIT4\n[HKLM\\software\\a]\n\"DROP\"=-\n\"new\"=dword:7\n"
        "[-HKLM\\SOFTWARE\\gone]\n[HKCR\\.q]\n@=\"q.file\"\n");
    const std::string expected =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n\"keep\"=\"1\"\r\n\"new\"=dword:00000007\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.q]\r\n@=\"q.file\"\r\n\r\n";
    EXPECT_EQ(ReadFile(HiveFile()), expected);
    EXPECT_EQ(hive.Export(), expected);
}

TEST_F(HiveTest, UpdateThatChangesNothingDoesNotRewrite) {
    Hive hive;
    hive.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n");
    const auto before = fs::last_write_time(HiveFile());
    fs::last_write_time(HiveFile(), before - std::chrono::hours(1));
    hive.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n");
    hive.Update([](RegKey&) { return false; });
    EXPECT_EQ(fs::last_write_time(HiveFile()), before - std::chrono::hours(1));
}

// A malformed hive is an error, and is never overwritten.
TEST_F(HiveTest, AMalformedHiveIsNeverOverwritten) {
    const std::string bad = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=oops\r\n";
    ws_.WriteFile(HiveFile(), bad);
    Hive hive;
    try {
        hive.Load();
        FAIL();
    } catch (const RegFormatError& e) {
        EXPECT_NE(e.Message().find("HKEY_LOCAL_MACHINE.reg: line 3: unknown value data"),
                  std::string::npos)
            << e.Message();
    }
    EXPECT_THROW(hive.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n"), RegFormatError);
    EXPECT_THROW(hive.Update([](RegKey&) { return true; }), RegFormatError);
    EXPECT_NO_THROW(hive.CreateIfMissing());
    EXPECT_EQ(ReadFile(HiveFile()), bad);
}

TEST_F(HiveTest, AMalformedImportChangesNothing) {
    Hive hive;
    hive.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n");
    const std::string before = ReadFile(HiveFile());
    EXPECT_THROW(hive.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n\"w\"=\"2\"\n\"x\"=bad\n"),
                 RegFormatError);
    EXPECT_EQ(ReadFile(HiveFile()), before);
}

TEST_F(HiveTest, AReadOnlyHiveRefusesUpdates) {
    Hive hive;
    hive.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n");
    const std::string before = ReadFile(HiveFile());
    fs::permissions(HiveFile(), fs::perms(0444));
    EXPECT_FALSE(hive.Writable());
    EXPECT_THROW(hive.Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n"), EOSError);
    EXPECT_EQ(ReadFile(HiveFile()), before);
    EXPECT_NE(hive.Load().FindPath("A"), nullptr);  // reads still work
}

TEST_F(HiveTest, AMissingRegistryFolderIsAnErrorAndIsNotCreated) {
    fs::remove_all(ws_.Root() / "registry");
    EXPECT_THROW(Hive().Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n"), EOSError);
    EXPECT_FALSE(fs::exists(ws_.Root() / "registry"));
}

TEST_F(HiveTest, AnEmptyFileIsAnEmptyHive) {
    ws_.WriteFile(HiveFile(), "");
    EXPECT_TRUE(Hive().Load().SubKeys().empty());
}

}  // namespace
