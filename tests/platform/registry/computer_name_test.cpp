// GetComputerNameA: the registry's name, else the host's.
#include "platform/computer_name.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>

#include "platform/registry.h"
#include "tests/support/temp_workstation.h"

using namespace platform;

namespace {

constexpr const char* kKey = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

class ComputerName : public testing::Test {
  protected:
    testsupport::TempWorkstation ws_;
};

TEST_F(ComputerName, TheRegistryValueWhenPresent) {
    SetValue(HKEY_LOCAL_MACHINE, kKey, RegValue::String("ComputerName", "POSTE-COMPTA"));
    char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof buffer;
    ASSERT_EQ(GetComputerNameA(buffer, &size), TRUE);
    EXPECT_STREQ(buffer, "POSTE-COMPTA");
    EXPECT_EQ(size, 12u);
}

TEST_F(ComputerName, TheHostNameWhenAbsent) {
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const AnsiString expected = ComputerNameOfHost(host);
    char buffer[64] = {};
    DWORD size = sizeof buffer;
    ASSERT_EQ(GetComputerNameA(buffer, &size), TRUE);
    EXPECT_EQ(AnsiString(buffer), expected);
    EXPECT_EQ(size, expected.size());
    // The key without the value: the same.
    SetValue(HKEY_LOCAL_MACHINE, kKey, RegValue::String("Other", "X"));
    size = sizeof buffer;
    ASSERT_EQ(GetComputerNameA(buffer, &size), TRUE);
    EXPECT_EQ(AnsiString(buffer), expected);
}

TEST(ComputerNameOfHost, CapitalsCutAtTheFirstDotFifteenAtMost) {
    EXPECT_EQ(ComputerNameOfHost("poste12.example.com"), "POSTE12");
    EXPECT_EQ(ComputerNameOfHost("Build-Server"), "BUILD-SERVER");
    EXPECT_EQ(ComputerNameOfHost("averyveryverylonghostname.lan"), "AVERYVERYVERYLO");
    EXPECT_EQ(ComputerNameOfHost("exactly15chars1"), "EXACTLY15CHARS1");
    EXPECT_EQ(ComputerNameOfHost(""), "");
}

TEST_F(ComputerName, AnEmptyValueFails) {
    SetValue(HKEY_LOCAL_MACHINE, kKey, RegValue::String("ComputerName", ""));
    char buffer[64] = {};
    DWORD size = sizeof buffer;
    EXPECT_EQ(GetComputerNameA(buffer, &size), FALSE);
}

TEST_F(ComputerName, AValueOfAnotherTypeFails) {
    SetValue(HKEY_LOCAL_MACHINE, kKey, RegValue::Dword("ComputerName", 42));
    char buffer[64] = {};
    DWORD size = sizeof buffer;
    EXPECT_EQ(GetComputerNameA(buffer, &size), FALSE);
}

TEST_F(ComputerName, AMalformedHiveFails) {
    ws_.WriteFile(Workstation::Current().HivePath(), "not a hive");
    char buffer[64] = {};
    DWORD size = sizeof buffer;
    EXPECT_EQ(GetComputerNameA(buffer, &size), FALSE);
}

TEST_F(ComputerName, ASmallBufferGivesTheSizeNeeded) {
    SetValue(HKEY_LOCAL_MACHINE, kKey, RegValue::String("ComputerName", "POSTE"));
    char buffer[8] = "xxxxxxx";
    DWORD size = 5;  // no room for the NUL
    EXPECT_EQ(GetComputerNameA(buffer, &size), FALSE);
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(buffer, "xxxxxxx");
    size = 6;
    EXPECT_EQ(GetComputerNameA(buffer, &size), TRUE);
    EXPECT_STREQ(buffer, "POSTE");
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(GetComputerNameA(buffer, nullptr), FALSE);
}

}  // namespace
