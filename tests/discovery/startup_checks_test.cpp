// The checks made while the main window is created, over small workstations:
// what the folders become, what the user is shown, what the registry holds
// afterwards, and where an unexpected error leaves things.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "discovery/startup_checks.h"
#include "engine/engine.h"
#include "platform/automation.h"
#include "platform/hive.h"
#include "platform/registry.h"
#include "platform/testing/recording_application.h"
#include "tests/discovery/scripted_dmo.h"
#include "tests/support/temp_workstation.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::literals;
using platform::AnsiString;
using platform::testing::RecordingApplication;
using platform::testing::Shown;

constexpr const char* kSetupKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\MSSQLServer\\Setup]";
constexpr const char* kAppPaths =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillorant.exe";
constexpr const char* kAppPathsKey =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App "
    "Paths\\Quillorant.exe]";

const Shown kHourGlass{"cursor", "", "crHourGlass"};
const Shown kDefaultCursor{"cursor", "", "crDefault"};
const Shown kHalt{"halt", "", ""};

Shown Warning(const AnsiString& text) {
    return {"warning", "Avertissement", text};
}
Shown Error(const AnsiString& text) {
    return {"error", "Erreur", text};
}
Shown ErrorBox(const AnsiString& text) {
    return {"error-box", "Setup", text};
}

AnsiString Moved(const AnsiString& dir) {
    return "L'emplacement de Quillorant SQL a été modifié depuis son installation.\r"
           "Selon la base de registre de votre poste, le programme devrait se trouver dans : \r"_ansi +
           dir + "\r\rVeuillez réinstaller Quillorant SQL."_ansi;
}

// One small workstation: its hive from REGEDIT4 text, files on drive C:.
struct Machine {
    explicit Machine(const std::string& reg, const std::vector<std::string>& cFiles = {},
                     const std::string& servers = "name SRV-A\nname SRV-B\n") {
        ws.WriteFile(ws.Root() / "scripted-dmo.txt", servers);
        testsupport::RegisterScriptedDmo();
        platform::Hive().Import("REGEDIT4\r\n\r\n" + reg);
        for (const std::string& f : cFiles)
            ws.WriteFile(C(f), "MZ stand-in");
    }
    // A Windows-1252 path under C:\, as a host path.
    fs::path C(std::string ansiPath) const {
        for (char& c : ansiPath)
            if (c == '\\')
                c = '/';
        return ws.Drive('c') / platform::AnsiToUtf8(ansiPath);
    }
    fs::path HiveFile() const { return platform::Workstation::Current().HivePath(); }
    std::string HiveBytes() const { return testsupport::ReadFile(HiveFile()); }

    testsupport::TempWorkstation ws;
};

class StartupChecks : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::CoInitialize(nullptr);
        ResetEngine();
    }
    void TearDown() override {
        ResetEngine();
        platform::CoUninitialize();
    }
    static void ResetEngine() {
        engine::Session().SetNetFileDir("");
        engine::Session().SetPrivateDir("");
    }

    // Runs the checks as FormCreate does; the window framework's handler
    // gets what escapes them.
    void Run() {
        app.Clear();
        list.ClearItems();
        app.Guarded([&] {
            discovery::RunStartupChecks(
                {app, window, list, engine::Session(), platform::Workstation::Current()},
                {sqlDataDir, programDir});
        });
    }

    static std::optional<AnsiString> RegText(const char* name) {
        const auto v = platform::QueryValue(platform::HKEY_LOCAL_MACHINE, kAppPaths, name);
        if (!v || v->type != platform::REG_SZ)
            return std::nullopt;
        return v->Text();
    }

    RecordingApplication app;
    platform::TForm window;
    platform::TComboBox list;
    AnsiString sqlDataDir = "(unset)";
    AnsiString programDir = "(unset)";
};

TEST(WithTrailingBackslash, OnlyTheLastCharacterCounts) {
    const std::pair<const char*, const char*> rows[] = {{"", ""},
                                                        {"C:", "C:\\"},
                                                        {"C:\\A\\", "C:\\A\\"},
                                                        {"C:\\A", "C:\\A\\"},
                                                        {"D:/SQL/", "D:/SQL/\\"}};
    for (const auto& [in, out] : rows)
        EXPECT_EQ(discovery::WithTrailingBackslash(in), out) << in;
}

std::string SqlSetup(const std::string& values) {
    return std::string(kSetupKey) + "\r\n" + values + "\r\n\r\n";
}
std::string Registration(const std::string& values) {
    return std::string(kAppPathsKey) + "\r\n" + values + "\r\n\r\n";
}

// Workstations on which the checks go through: the folders found, the
// registry afterwards, the engine's folders and the list filled.
TEST_F(StartupChecks, FoldersFoundOnWorkstationsThatPass) {
    const std::string registered = Registration(R"("Path"="C:\\Prod\\Q")");
    struct Row {
        const char* what;
        std::string reg;
        const char* product;  // file under C:
        const char* sqlDataDir;
        const char* programDir;
        bool registrationWritten;
    };
    const Row rows[] = {
        {"SQLPath without backslash", SqlSetup(R"("SQLPath"="D:\\SQL")") + registered,
         "Prod\\Q\\Quillorant.exe", "D:\\SQL\\Data\\", "C:\\Prod\\Q\\", false},
        {"SQLPath with backslash", SqlSetup(R"("SQLPath"="D:\\SQL\\")") + registered,
         "Prod\\Q\\Quillorant.exe", "D:\\SQL\\Data\\", "C:\\Prod\\Q\\", false},
        {"empty SQLPath", SqlSetup(R"("SQLPath"="")") + registered, "Prod\\Q\\Quillorant.exe",
         "Data\\", "C:\\Prod\\Q\\", false},
        {"set-up key without SQLPath", SqlSetup(R"("Other"="x")") + registered,
         "Prod\\Q\\Quillorant.exe", "C:\\Sorvendale\\Base\\", "C:\\Prod\\Q\\", false},
        {"registered folder with its backslash", Registration(R"("Path"="C:\\Prod\\Q\\")"),
         "Prod\\Q\\Quillorant.exe", "C:\\Sorvendale\\Base\\", "C:\\Prod\\Q\\", false},
        {"no registration, the default product", SqlSetup(R"("SQLPath"="D:\\SQL")"),
         "Sorvendale\\Quillorant\\Quillorant.exe", "D:\\SQL\\Data\\",
         "C:\\Sorvendale\\Quillorant\\", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Machine m(row.reg, {row.product});
        const std::string hiveBefore = m.HiveBytes();

        Run();

        EXPECT_EQ(sqlDataDir, row.sqlDataDir);
        EXPECT_EQ(programDir, row.programDir);
        EXPECT_EQ(app.Log(), (std::vector<Shown>{kHourGlass, kDefaultCursor}));
        EXPECT_EQ(list.ItemCount(), 2);
        EXPECT_EQ(engine::Session().NetFileDir(), "C:\\");
        EXPECT_EQ(engine::Session().PrivateDir(), row.programDir);
        if (row.registrationWritten) {
            EXPECT_EQ(RegText(""), "C:\\Sorvendale\\Quillorant\\Quillorant.exe");
            EXPECT_EQ(RegText("Path"), "C:\\Sorvendale\\Quillorant\\");
        } else {
            EXPECT_EQ(m.HiveBytes(), hiveBefore) << "the checks only read";
        }
    }
}

// Workstations on which a check fails: what the user sees, and that the
// program ends before the engine or the list is reached.
TEST_F(StartupChecks, FailedChecksTellTheUserAndEndTheProgram) {
    struct Row {
        const char* what;
        std::string reg;
        std::vector<std::string> files;  // under C:
        const char* currentFolder;       // under C:, or null
        std::vector<Shown> shown;
        const char* programDir;
    };
    const AnsiString reinstall = "Veuillez réinstaller Quillorant SQL."_ansi;
    const Row rows[] = {
        {"the registered folder lost the product",
         Registration(R"("Path"="C:\\Ancien\\Q")"),
         {"Sorvendale\\Quillorant\\Quillorant.exe", "Ancien\\Q\\Lisezmoi.txt"},
         nullptr,
         {Error(Moved("C:\\Ancien\\Q\\")), kHalt},
         "C:\\Ancien\\Q\\"},
        {"no Path, no product in the current folder",
         Registration(R"(@="C:\\X\\Quillorant.exe")"),
         {"Sorvendale\\Quillorant\\Quillorant.exe", "Ailleurs\\Lisezmoi.txt"},
         "Ailleurs",
         {Error(Moved("")), kHalt},
         ""},
        {"empty Path, the product in the current folder",
         Registration(R"("Path"="")"),
         {"Courant\\Quillorant.exe"},
         "Courant",
         {Warning(reinstall), kHalt},
         ""},
        {"no registration, no default product",
         SqlSetup(R"("SQLPath"="D:\\SQL")"),
         {"Prod\\Quillorant.exe"},
         nullptr,
         {Warning(reinstall), kHalt},
         "(unset)"},
    };
    const fs::path home = fs::current_path();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Machine m(row.reg, row.files);
        if (row.currentFolder != nullptr)
            fs::current_path(m.C(row.currentFolder));
        const std::string hiveBefore = m.HiveBytes();
        programDir = "(unset)";

        Run();
        fs::current_path(home);

        std::vector<Shown> expected{kHourGlass};
        expected.insert(expected.end(), row.shown.begin(), row.shown.end());
        EXPECT_EQ(app.Log(), expected);
        EXPECT_EQ(programDir, row.programDir);
        EXPECT_EQ(engine::Session().NetFileDir(), "") << "the engine is not reached";
        EXPECT_EQ(list.ItemCount(), 0);
        EXPECT_EQ(m.HiveBytes(), hiveBefore) << "nothing written";
    }
}

// Errors the checks do not handle: the standard error box, the checks
// stopped where the error arose, the hourglass left on, nothing written.
TEST_F(StartupChecks, RegistryErrorsReachTheStandardErrorBoxAndStopTheChecks) {
    struct Row {
        const char* what;
        std::string reg;
        bool hiveReadOnly;
        AnsiString message;
        const char* sqlDataDir;
        const char* programDir;
    };
    const Row rows[] = {
        {"Path stored as a number", Registration(R"("Path"=dword:00000001)"), false,
         "Type de données incorrect pour 'Path'"_ansi, "C:\\Sorvendale\\Base\\", "(unset)"},
        {"SQLPath stored as a number", SqlSetup(R"("SQLPath"=dword:00000001)"), false,
         "Type de données incorrect pour 'SQLPath'"_ansi, "(unset)", "(unset)"},
        {"no all-access rights, the default product present",
         SqlSetup(R"("SQLPath"="D:\\SQL")") + Registration(R"("Path"="C:\\Prod\\")"), true,
         "Echec à la définition des données pour ''"_ansi, "C:\\Sorvendale\\Base\\",
         "C:\\Sorvendale\\Quillorant\\"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Machine m(row.reg, {"Sorvendale\\Quillorant\\Quillorant.exe", "Prod\\Quillorant.exe"});
        if (row.hiveReadOnly)
            fs::permissions(m.HiveFile(), fs::perms::owner_write, fs::perm_options::remove);
        const std::string hiveBefore = m.HiveBytes();
        sqlDataDir = "(unset)";
        programDir = "(unset)";

        Run();

        EXPECT_EQ(app.Log(), (std::vector<Shown>{kHourGlass, ErrorBox(row.message)}));
        EXPECT_FALSE(app.Halted());
        EXPECT_EQ(sqlDataDir, row.sqlDataDir);
        EXPECT_EQ(programDir, row.programDir);
        EXPECT_EQ(engine::Session().NetFileDir(), "");
        EXPECT_EQ(engine::Session().PrivateDir(), "");
        EXPECT_EQ(list.ItemCount(), 0);
        EXPECT_EQ(m.HiveBytes(), hiveBefore);
    }
}

TEST_F(StartupChecks, NoAllAccessRightsAndNoDefaultProductEndWithTheWarning) {
    Machine m(SqlSetup(R"("SQLPath"="D:\\SQL")") + Registration(R"("Path"="C:\\Prod\\")"),
              {"Prod\\Quillorant.exe"});
    fs::permissions(m.HiveFile(), fs::perms::owner_write, fs::perm_options::remove);
    Run();
    EXPECT_EQ(sqlDataDir, "C:\\Sorvendale\\Base\\") << "the set-up key did not open";
    EXPECT_EQ(app.Log(),
              (std::vector<Shown>{kHourGlass, Warning("Veuillez réinstaller Quillorant SQL."_ansi),
                                  kHalt}));
}

TEST_F(StartupChecks, PrivateFolderSetOnlyWhenItDiffersBeyondLettersAToZ) {
    struct Row {
        const char* what;
        const char* reg;  // the registered Path, REGEDIT4-escaped
        const char* product;
        const char* privateBefore;
        const char* privateAfter;
    };
    const Row rows[] = {
        {"the same but for a to z, no backslash", R"(C:\\Prod\\Quillorant)",
         "Prod\\Quillorant\\Quillorant.exe", "c:\\prod\\QUILLORANT", "c:\\prod\\QUILLORANT"},
        {"another folder", R"(C:\\Prod\\Quillorant)", "Prod\\Quillorant\\Quillorant.exe",
         "C:\\Temp\\", "C:\\Prod\\Quillorant\\"},
        {"accented letters in another case differ",
         "C:\\\\Donn\xe9"
         "es",
         "Donn\xe9"
         "es\\Quillorant.exe",
         "C:\\DONN\xc9"
         "ES\\",
         "C:\\Donn\xe9"
         "es\\"},
        {"accented letters as stored",
         "C:\\\\Donn\xe9"
         "es",
         "Donn\xe9"
         "es\\Quillorant.exe",
         "C:\\DONN\xe9"
         "ES\\",
         "C:\\DONN\xe9"
         "ES\\"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Machine m(Registration(std::string("\"Path\"=\"") + row.reg + "\""), {row.product});
        fs::create_directories(m.C("Temp"));
        engine::Session().SetPrivateDir(row.privateBefore);

        Run();

        EXPECT_EQ(app.Log(), (std::vector<Shown>{kHourGlass, kDefaultCursor}));
        EXPECT_EQ(engine::Session().PrivateDir(), row.privateAfter);
    }
}

TEST_F(StartupChecks, PrivateFolderThatCannotBeSetIsIgnored) {
    Machine m(Registration(R"("Path"="C:\\Lecture\\")"), {"Lecture\\Quillorant.exe"},
              "name SRV-A\n");
    // The engine keeps temporary files in its private folder, so it refuses
    // one without write access.
    fs::permissions(m.C("Lecture"), fs::perms::owner_write, fs::perm_options::remove);
    Run();
    fs::permissions(m.C("Lecture"), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(app.Log(), (std::vector<Shown>{kHourGlass, kDefaultCursor}));
    EXPECT_EQ(programDir, "C:\\Lecture\\");
    EXPECT_EQ(engine::Session().PrivateDir(), "");
    EXPECT_EQ(engine::Session().NetFileDir(), "C:\\");
    EXPECT_EQ(list.ItemCount(), 1);
}

}  // namespace
