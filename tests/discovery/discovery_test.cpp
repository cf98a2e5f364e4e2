// The server list against scripted management objects: what the list and
// its own text become, what is shown, and which calls reach the objects.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "discovery/server_list.h"
#include "platform/automation.h"
#include "platform/hive.h"
#include "platform/testing/recording_application.h"
#include "tests/discovery/scripted_dmo.h"
#include "tests/support/temp_workstation.h"

namespace {

using platform::AnsiString;
using platform::testing::RecordingApplication;
using platform::testing::Shown;

constexpr const char* kComputer = "POSTE-7";

std::vector<AnsiString> Items(const platform::TComboBox& box) {
    std::vector<AnsiString> items;
    for (int i = 0; i < box.ItemCount(); ++i) {
        items.push_back(box.Item(i));
    }
    return items;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::CoInitialize(nullptr);
        SetComputerName(kComputer);
    }
    void TearDown() override { platform::CoUninitialize(); }

    void SetComputerName(const AnsiString& name) {
        platform::Hive().Import(
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]"
            "\r\n\"ComputerName\"=\"" +
            name + "\"\r\n");
    }
    void Script(const std::string& text) const {
        ws.WriteFile(ws.Root() / "scripted-dmo.txt", text);
    }
    std::vector<std::string> Calls() const {
        return Lines(testsupport::ReadFile(ws.Root() / "scripted-dmo.log"));
    }

    // Runs the discovery; true when it ended the program.
    bool Run() {
        try {
            discovery::ListSqlServers(box, app);
        } catch (const platform::ProcessHalt&) {
            return true;
        }
        return false;
    }

    testsupport::TempWorkstation ws;
    RecordingApplication app{"C:\\Setup\\quillorant-setup"};
    platform::TComboBox box;
};

const Shown kWarning{"warning", "Avertissement",
                     "La recherche des serveurs MS SQL a g\xE9n\xE9r\xE9 une erreur. "
                     "L'application va \xEAtre ferm\xE9\x65."};

struct Row {
    const char* what;
    std::string script;
    std::vector<AnsiString> items;  // expected
    AnsiString text;                // the box's own text afterwards
    bool fails = false;             // the warning and the end
    bool noComputerName = false;
};

const Row kRows[] = {
    {"the first name holds local", "name SRVlocal1\nname SRV2\n", {kComputer, "SRV2"}, kComputer},
    {"local anywhere, whatever surrounds it",
     "name (local)\nname a-local\nname localhost\nname X\\local\\Y\n",
     {kComputer, kComputer, kComputer, kComputer},
     kComputer},
    {"capitals are not matched",
     "name Local\nname LOCAL\nname LoCaL\n",
     {"Local", "LOCAL", "LoCaL"},
     "Local"},
    {"two local names keep their places",
     "name SRV1\nname (local)\nname SRV3\nname local\n",
     {"SRV1", kComputer, "SRV3", kComputer},
     "SRV1"},
    {"no computer name gives an empty item",
     "name (local)\nname SRV2\n",
     {"", "SRV2"},
     "",
     false,
     true},
    {"a second count of 0", "first 2\nsecond 0\nname A\nname B\n", {}, ""},
    {"a second count below 0", "first 2\nsecond -3\nname A\nname B\n", {}, ""},
    {"a shorter second count", "first 2\nsecond 1\nname A\nname B\n", {"A"}, "A"},
    {"numbers and booleans convert to text",
     "name S\nnumber 42\nbool 1\nbool 0\n",
     {"S", "42", "True", "False"},
     "S"},
    {"a Windows-1252 name", "name SRV\\D\xC9V\n", {"SRV\\D\xC9V"}, "SRV\\D\xC9V"},
    {"an index refused", "name A\nname B\nname C\nrefuse 2\n", {}, "", true},
    {"a count beyond the items", "first 3\nsecond 3\nname A\nname B\n", {}, "", true},
    {"an item that does not convert", "name A\nobject\n", {}, "", true},
};

TEST_F(Discovery, FillsTheListAsTheTableSays) {
    testsupport::RegisterScriptedDmo();
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        app.Clear();
        box.ClearItems();
        box.AddItem("OLD");
        box.SetText("typed");
        SetComputerName(row.noComputerName ? "" : kComputer);
        Script(row.script);
        const bool ended = Run();
        EXPECT_EQ(ended, row.fails);
        if (row.fails) {
            EXPECT_EQ(app.Dialogs(), std::vector<Shown>{kWarning});
            continue;
        }
        EXPECT_TRUE(app.Log().empty());
        EXPECT_EQ(Items(box), row.items);
        EXPECT_EQ(box.Text(), row.text);
    }
}

TEST_F(Discovery, AFirstCountOfZeroLeavesTheListEmptyAndItsTextAlone) {
    testsupport::RegisterScriptedDmo();
    for (const char* script : {"", "first 0\nsecond 2\nname A\nname B\n", "first -1\nname A\n"}) {
        SCOPED_TRACE(script);
        box.AddItem("OLD");
        box.SetText("typed");
        Script(script);
        EXPECT_FALSE(Run());
        EXPECT_EQ(box.ItemCount(), 0);
        EXPECT_EQ(box.Text(), "typed");
        EXPECT_TRUE(app.Log().empty());
    }
}

TEST_F(Discovery, AsksForTheCollectionAnewForEveryCallAndReleasesEverything) {
    testsupport::RegisterScriptedDmo();
    Script("name A\nname B\nname C\n");
    ASSERT_FALSE(Run());
    // 3 = DISPATCH_METHOD | DISPATCH_PROPERTYGET, 1 = DISPATCH_METHOD.
    const std::vector<std::string> expected = {
        "+Application",
        "ListAvailableSQLServers 3",
        "+Collection",
        "Count 3",
        "ListAvailableSQLServers 3",
        "+Collection",
        "Count 3",
        "ListAvailableSQLServers 3",
        "+Collection",
        "item 1 1",
        "ListAvailableSQLServers 3",
        "+Collection",
        "item 2 1",
        "ListAvailableSQLServers 3",
        "+Collection",
        "item 3 1",
        "-Application",
        "-Collection",
        "-Collection",
        "-Collection",
        "-Collection",
        "-Collection",
    };
    std::vector<std::string> calls = Calls();
    // Whether the application or its collections go first is no concern.
    ASSERT_EQ(calls.size(), expected.size());
    std::sort(calls.end() - 6, calls.end());
    EXPECT_EQ(calls, expected);
}

TEST_F(Discovery, ObjectsAreReleasedWhenTheDiscoveryFails) {
    testsupport::RegisterScriptedDmo();
    Script("name A\nrefuse 1\n");
    ASSERT_TRUE(Run());
    int alive = 0;
    for (const std::string& line : Calls()) {
        alive += line[0] == '+' ? 1 : line[0] == '-' ? -1 : 0;
    }
    // The test double's end unwinds; the real one ends the process first.
    EXPECT_EQ(alive, 0);
}

TEST_F(Discovery, EveryFailureToCreateTheObjectsGivesTheWarningAndTheEnd) {
    struct Case {
        const char* what;
        std::string reg;  // imported after the component's registration, if any
        bool registerIt;
    } cases[] = {
        {"the ProgID not registered", "", false},
        {"the class not registered",
         "[-HKEY_CLASSES_ROOT\\CLSID\\{5C1A7E00-0000-4000-8000-0000000000D1}]", true},
        {"the library missing",
         "[HKEY_CLASSES_ROOT\\CLSID\\{5C1A7E00-0000-4000-8000-0000000000D1}\\InprocServer32]\r\n"
         "@=\"C:\\\\nowhere\\\\sqldmo.dll\"",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempWorkstation fresh;
        app.Clear();
        box.ClearItems();
        box.SetText("typed");
        if (c.registerIt) {
            testsupport::RegisterScriptedDmo();
        }
        if (!c.reg.empty()) {
            platform::Hive().Import("REGEDIT4\r\n\r\n" + c.reg + "\r\n");
        }
        EXPECT_TRUE(Run());
        EXPECT_EQ(app.Dialogs(), std::vector<Shown>{kWarning});
        EXPECT_TRUE(app.Halted());
        EXPECT_EQ(box.Text(), "typed");
    }
}

TEST_F(Discovery, WithoutComTheDiscoveryFails) {
    testsupport::RegisterScriptedDmo();
    Script("name A\n");
    platform::CoUninitialize();
    EXPECT_TRUE(Run());
    platform::CoInitialize(nullptr);
    EXPECT_EQ(app.Dialogs(), std::vector<Shown>{kWarning});
}

TEST(LocalComputerName, IsTheWorkstationsNameOrEmpty) {
    testsupport::TempWorkstation ws;
    platform::Hive().Import(
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
        "\"ComputerName\"=\"POSTE-\xC9T\xC9\"\r\n");
    EXPECT_EQ(discovery::GetLocalComputerName(), "POSTE-\xC9T\xC9");
    platform::Hive().Import(
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
        "\"ComputerName\"=\"\"\r\n");
    EXPECT_EQ(discovery::GetLocalComputerName(), "");
}

}  // namespace
