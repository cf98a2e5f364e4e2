#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_workstation.h"

using namespace platform;
using namespace platform::literals;
namespace fs = std::filesystem;

namespace {

class Paths : public ::testing::Test {
  protected:
    const Workstation& Ws() const { return Workstation::Current(); }
    fs::path C() const { return temp_.Drive('c'); }
    void Touch(const fs::path& host) const { temp_.WriteFile(host, "x"); }
    // A drive that is a symbolic link to a folder elsewhere in the workstation.
    fs::path LinkDrive(char letter, const fs::path& target) const {
        fs::create_directories(target);
        fs::create_directory_symlink(target, temp_.Drive(letter));
        return target;
    }

    testsupport::TempWorkstation temp_;
};

// Changes the process's folder for one test and puts it back.
class CurrentFolder {
  public:
    explicit CurrentFolder(const fs::path& folder) : saved_(fs::current_path()) {
        fs::current_path(folder);
    }
    ~CurrentFolder() { fs::current_path(saved_); }
    CurrentFolder(const CurrentFolder&) = delete;
    CurrentFolder& operator=(const CurrentFolder&) = delete;

  private:
    fs::path saved_;
};

TEST_F(Paths, DrivesAreFoldersOrLinksUnderDrives) {
    const fs::path store = LinkDrive('d', temp_.Root() / "store" / "d-data");
    fs::create_directories(temp_.Root() / "drives" / "E");

    struct Case {
        const char* windows;
        fs::path host;
    };
    const std::vector<Case> cases = {
        {"C:\\", C()},
        {"c:\\New.txt", C() / "New.txt"},
        {"D:\\x", temp_.Drive('d') / "x"},
        {"e:\\y", temp_.Root() / "drives" / "E" / "y"},
        {"C:", C()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windows);
        EXPECT_EQ(HostPath(c.windows), c.host);
    }
    EXPECT_TRUE(DirectoryExists("D:\\"));
    EXPECT_TRUE(DirectoryExists("E:\\"));
    Touch(store / "f.txt");
    EXPECT_TRUE(FileExists("d:\\F.TXT"));
}

TEST_F(Paths, ExistingComponentsMatchWithoutCaseNewOnesKeepTheirs) {
    Touch(C() / "Program Files" / "Quill" / "Bin" / "setup.ini");
    fs::create_directories(C() / "Data");
    fs::create_directories(C() / "DATA");

    struct Case {
        const char* windows;
        fs::path host;
    };
    const std::vector<Case> cases = {
        {"C:\\PROGRAM FILES\\quill\\bin\\SETUP.INI",
         C() / "Program Files" / "Quill" / "Bin" / "setup.ini"},
        {"C:\\program files\\Nouveau\\Sous Dossier",
         C() / "Program Files" / "Nouveau" / "Sous Dossier"},
        {"C:\\program files\\quill\\", C() / "Program Files" / "Quill" / ""},
        // Exact names win; otherwise the first in byte order.
        {"C:\\Data", C() / "Data"},
        {"C:\\DATA", C() / "DATA"},
        {"C:\\data", C() / "DATA"},
        // Below a file nothing exists, so nothing is looked up.
        {"C:\\Program Files\\Quill\\Bin\\SETUP.INI\\Sub",
         C() / "Program Files" / "Quill" / "Bin" / "setup.ini" / "Sub"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windows);
        EXPECT_EQ(HostPath(c.windows), c.host);
    }
}

TEST_F(Paths, AccentedNamesMatchAcrossCodePages) {
    Touch(C() / "Données" / "Clé.txt");

    for (const AnsiString& windows :
         {"C:\\DONNÉES\\CLÉ.TXT"_ansi, "C:\\données\\clé.txt"_ansi, "C:\\Données\\Clé.txt"_ansi}) {
        SCOPED_TRACE(AnsiToUtf8(windows));
        EXPECT_EQ(HostPath(windows), C() / "Données" / "Clé.txt");
        EXPECT_TRUE(FileExists(windows));
    }
    EXPECT_EQ(HostPath("C:\\DONNÉES\\Élève"_ansi), C() / "Données" / "Élève");
    EXPECT_EQ(WindowsPath(C() / "Données" / "Clé.txt"), "C:\\Données\\Clé.txt"_ansi);
}

TEST_F(Paths, HostNamesOutsideWindows1252ShowAsQuestionMarks) {
    fs::create_directories(C() / "日本");
    EXPECT_EQ(WindowsPath(C() / "日本"), "C:\\??");
    EXPECT_EQ(HostPath("C:\\??"), C() / "日本");
    EXPECT_FALSE(DirectoryExists("C:\\??"));  // a wildcard pattern, never a name
}

TEST_F(Paths, ExpandFileNameNormalisesLikeGetFullPathName) {
    struct Case {
        const char* in;
        const char* out;
    };
    const std::vector<Case> cases = {
        {"C:\\a\\.\\b\\..\\c", "C:\\a\\c"},
        {"C:\\a\\\\\\b", "C:\\a\\b"},
        {"C:/a/b/", "C:\\a\\b\\"},
        {"C:\\A\\", "C:\\A\\"},
        {"c:\\A", "C:\\A"},
        {"C:\\..\\..\\a", "C:\\a"},
        {"C:\\a\\..", "C:\\"},
        {"C:\\a\\..\\", "C:\\"},
        {"C:\\a\\.", "C:\\a"},
        {"C:\\a\\.\\", "C:\\a\\"},
        {"C:", "C:\\"},
        {"C:foo\\bar", "C:\\foo\\bar"},
        {"C:..\\foo", "C:\\foo"},
        {"C:\\Mixed/Slashes\\x.txt", "C:\\Mixed\\Slashes\\x.txt"},
        {"C:\\dir\\*.txt", "C:\\dir\\*.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ExpandFileName(c.in), c.out);
    }
}

TEST_F(Paths, RelativePathsStartFromTheCurrentFolder) {
    fs::create_directories(C() / "Work" / "Sub");
    fs::create_directories(temp_.Drive('d'));
    CurrentFolder cwd(C() / "Work" / "Sub");

    struct Case {
        const char* in;
        const char* out;
    };
    const std::vector<Case> cases = {
        {"x.txt", "C:\\Work\\Sub\\x.txt"},
        {".", "C:\\Work\\Sub"},
        {".\\", "C:\\Work\\Sub\\"},
        {"..\\y", "C:\\Work\\y"},
        {"../../../../z", "C:\\z"},
        {"\\top", "C:\\top"},
        {"/top/", "C:\\top\\"},
        {"D:rel", "D:\\rel"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ExpandFileName(c.in), c.out);
    }
    EXPECT_EQ(HostPath("X.TXT"), C() / "Work" / "Sub" / "X.TXT");
    EXPECT_EQ(HostPath("..\\SUB"), C() / "Work" / "Sub");
    EXPECT_TRUE(DirectoryExists("..\\sub"));
}

TEST_F(Paths, RelativePathsOutsideEveryDriveLieOnZ) {
    CurrentFolder cwd(temp_.Root());
    EXPECT_EQ(ExpandFileName("\\foo"), "Z:\\foo");
    EXPECT_EQ(ExpandFileName("drives\\c\\x.txt"), WindowsPath(temp_.Root()) + "\\drives\\c\\x.txt");
    // The same file seen through Z: rather than C:.
    EXPECT_EQ(HostPath("DRIVES\\C\\x.txt"), C() / "x.txt");
    EXPECT_EQ(HostPath("registry"), temp_.Root() / "registry");
}

TEST_F(Paths, PathsWithoutADriveFormDoNotExist) {
    fs::create_directories(C() / "a");
    const std::vector<AnsiString> cases = {
        "",
        "\\\\server\\share\\f.txt",
        "//server/share",
        "\\\\?\\C:\\a",
        "\\\\.\\C:\\a",
        "Q:\\a",
        "q:",
        "1:\\a",
        "C:\\a:b",
        "C:\\a|b",
        "C:\\a<b>",
        "C:\\a\tb",
        std::string("C:\\a\0b", 6),
    };
    for (const auto& windows : cases) {
        SCOPED_TRACE(windows);
        EXPECT_EQ(ExpandFileName(windows), "");
        EXPECT_EQ(HostPath(windows), std::nullopt);
        EXPECT_FALSE(FileExists(windows));
        EXPECT_FALSE(DirectoryExists(windows));
    }
}

TEST_F(Paths, ZIsTheHostRootUnlessTheWorkstationGivesIt) {
    EXPECT_EQ(HostPath("Z:\\tmp\\x"), fs::path("/tmp/x"));
    EXPECT_EQ(HostPath("z:\\"), fs::path("/"));
    EXPECT_EQ(WindowsPath("/"), "Z:\\");
    EXPECT_EQ(WindowsPath("/no-such-quill-folder/a/../b"), "Z:\\no-such-quill-folder\\b");
    EXPECT_TRUE(DirectoryExists("Z:\\"));

    fs::create_directories(temp_.Drive('z'));
    EXPECT_EQ(HostPath("Z:\\tmp\\x"), temp_.Drive('z') / "tmp" / "x");
    EXPECT_EQ(WindowsPath(temp_.Drive('z') / "x"), "Z:\\x");
    EXPECT_EQ(WindowsPath("/no-such-quill-folder"), "");
}

TEST_F(Paths, WindowsPathResolvesLinksAndTakesTheDeepestDrive) {
    const fs::path d = LinkDrive('d', temp_.Root() / "store" / "d-data");
    LinkDrive('e', d / "inner");
    fs::create_directories(d / "Sub");

    struct Case {
        fs::path host;
        AnsiString windows;
    };
    const std::vector<Case> cases = {
        {d / "Sub" / "f.txt", "D:\\Sub\\f.txt"},
        {temp_.Drive('d') / "Sub", "D:\\Sub"},
        {d, "D:\\"},
        {d / "inner" / "f", "E:\\f"},
        {temp_.Drive('d') / "inner", "E:\\"},
        {C() / "new" / "..", "C:\\"},
        {C() / "x" / "", "C:\\x"},
        {temp_.Root() / "store", WindowsPath(temp_.Root()) + "\\store"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host.string());
        EXPECT_EQ(WindowsPath(c.host), c.windows);
    }
    EXPECT_EQ(WindowsPath(""), "");
}

TEST_F(Paths, TheExecutableHasAWindowsFormThatMapsBack) {
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const AnsiString windows = ExecutableFileName();
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ(ExtractFileName(windows), exe.filename().string());
    const auto folder = HostPath(ExtractFilePath(windows));
    ASSERT_TRUE(folder.has_value());
    EXPECT_EQ(fs::canonical(*folder), fs::canonical(exe.parent_path()));
    EXPECT_TRUE(FileExists(windows));

    fs::create_directory_symlink(exe.parent_path(), temp_.Drive('e'));
    EXPECT_EQ(ExecutableFileName(), "E:\\" + exe.filename().string());
}

TEST_F(Paths, FileAndDirectoryExistence) {
    Touch(C() / "Dir" / "file.txt");
    fs::create_symlink(C() / "Dir" / "file.txt", C() / "link-to-file");
    fs::create_directory_symlink(C() / "Dir", C() / "link-to-dir");
    fs::create_symlink(C() / "gone", C() / "dangling");
    // Legal host names that Windows could only read as patterns.
    Touch(C() / "what?.txt");
    fs::create_directories(C() / "odd*dir");

    struct Case {
        const char* windows;
        bool file;
        bool directory;
    };
    const std::vector<Case> cases = {
        {"C:\\Dir\\file.txt", true, false},
        {"C:\\DIR\\FILE.TXT", true, false},
        {"C:\\Dir\\file.txt\\", false, false},
        {"C:\\Dir", false, true},
        {"C:\\dir\\", false, true},
        {"C:\\", false, true},
        {"C:\\Dir\\missing.txt", false, false},
        {"C:\\Missing\\file.txt", false, false},
        {"C:\\link-to-file", true, false},
        {"C:\\LINK-TO-DIR", false, true},
        {"C:\\link-to-dir\\file.txt", true, false},
        {"C:\\dangling", false, false},
        {"C:\\Dir\\*.txt", false, false},
        {"C:\\Dir\\fil?.txt", false, false},
        {"C:\\D?r", false, false},
        {"C:\\what?.txt", false, false},
        {"C:\\odd*dir", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windows);
        EXPECT_EQ(FileExists(c.windows), c.file);
        EXPECT_EQ(DirectoryExists(c.windows), c.directory);
    }
}

TEST(PathParts, SplitAfterTheLastBackslashOrColon) {
    struct Case {
        const char* in;
        const char* path;
        const char* name;
    };
    const std::vector<Case> cases = {
        {"C:\\a\\b.txt", "C:\\a\\", "b.txt"},
        {"C:\\a\\", "C:\\a\\", ""},
        {"C:b.txt", "C:", "b.txt"},
        {"C:\\", "C:\\", ""},
        {"b.txt", "", "b.txt"},
        {"", "", ""},
        {"\\\\srv\\share\\f", "\\\\srv\\share\\", "f"},
        {"a/b.txt", "", "a/b.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ExtractFilePath(c.in), c.path);
        EXPECT_EQ(ExtractFileName(c.in), c.name);
    }
}

}  // namespace
