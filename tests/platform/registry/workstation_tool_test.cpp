// The workstation tool, run as a child process.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_workstation.h"

extern char** environ;

namespace fs = std::filesystem;
using testsupport::ReadFile;

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class Tool : public testing::Test {
  protected:
    void SetUp() override {
        const char* bin = std::getenv("QUILL_BIN_DIR");
        ASSERT_NE(bin, nullptr) << "QUILL_BIN_DIR is set by ctest";
        tool_ = fs::path(bin) / "workstation";
        ASSERT_TRUE(fs::exists(tool_)) << tool_;
        io_ = ws_.Root() / "io";
        fs::create_directories(io_);
    }

    // Runs the tool with the arguments (UTF-8) and the given standard input.
    Result Run(const std::vector<std::string>& args, const std::string& input = {},
               bool withWorkstation = true) {
        ws_.WriteFile(io_ / "in", input);
        std::vector<std::string> all = {tool_.string()};
        if (withWorkstation) {
            all.insert(all.end(), {"--workstation", Machine().string()});
        }
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string in = (io_ / "in").string(), out = (io_ / "out").string(),
                          err = (io_ / "err").string();
        posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        Result r;
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0);
        if (rc != 0) {
            return r;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = ReadFile(out);
        r.err = ReadFile(err);
        return r;
    }

    fs::path Machine() const { return ws_.Root() / "machine"; }
    fs::path HiveFile() const { return Machine() / "registry" / "HKEY_LOCAL_MACHINE.reg"; }

    testsupport::TempWorkstation ws_;
    fs::path tool_;
    fs::path io_;
};

TEST_F(Tool, InitCreatesTheWorkstationAndKeepsAnExistingHive) {
    Result r = Run({"init"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::is_directory(Machine() / "drives" / "c"));
    EXPECT_EQ(ReadFile(HiveFile()), "REGEDIT4\r\n\r\n");
    ws_.WriteFile(HiveFile(), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Kept]\r\n\r\n");
    r = Run({"init"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFile(HiveFile()), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Kept]\r\n\r\n");
}

TEST_F(Tool, ImportExportQuery) {
    ASSERT_EQ(Run({"init"}).exitCode, 0);
    // Windows-1252 bytes in the .reg text; "Société".
    const std::string reg =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Soci\xE9t\xE9]\n@=\"d\xE9"
        "faut\"\n"
        "\"Nom\"=\"Qu\xE9"
        "bec\"\n\"N\"=dword:0000000a\n\"B\"=hex:01,ab\n"
        "\"M\"=hex(7):61,00,62,00,00\n[HKCR\\.q]\n@=\"q.file\"\n";
    ws_.WriteFile(io_ / "setup.reg", reg);
    Result r = Run({"reg", "import", (io_ / "setup.reg").string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Run({"reg", "import", "-"}, "REGEDIT4\r\n[HKLM\\SOFTWARE\\Stdin]\r\n\"x\"=\"1\"\r\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;

    r = Run({"reg", "export"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, ReadFile(HiveFile()));  // the hive's bytes, Windows-1252
    EXPECT_NE(r.out.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Soci\xE9t\xE9]\r\n@=\"d\xE9"
                         "faut\""),
              std::string::npos);
    EXPECT_NE(r.out.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Stdin]\r\n\"x\"=\"1\""),
              std::string::npos);

    // Arguments and output in UTF-8.
    r = Run({"reg", "query", "hklm\\software\\SOCIÉTÉ"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Société\n"
              "    (Default)    REG_SZ    défaut\n"
              "    Nom    REG_SZ    Québec\n"
              "    N    REG_DWORD    0xa\n"
              "    B    REG_BINARY    01AB\n"
              "    M    REG_MULTI_SZ    a\\0b\n");
    r = Run({"reg", "query", "HKLM\\SOFTWARE\\Société", "nom"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Société\n    Nom    REG_SZ    Québec\n");
    r = Run({"reg", "query", "HKEY_CLASSES_ROOT\\.Q", ""});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "HKEY_CLASSES_ROOT\\.q\n    (Default)    REG_SZ    q.file\n");
    r = Run({"reg", "query", "HKLM\\SOFTWARE"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "HKEY_LOCAL_MACHINE\\SOFTWARE\n\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Société\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Stdin\n");
}

TEST_F(Tool, QueryOfMissingKeysAndValuesFails) {
    ASSERT_EQ(Run({"init"}).exitCode, 0);
    Result r = Run({"reg", "query", "HKLM\\SOFTWARE\\Nope"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    ASSERT_EQ(Run({"reg", "import", "-"}, "REGEDIT4\n[HKLM\\SOFTWARE\\K]\n").exitCode, 0);
    r = Run({"reg", "query", "HKLM\\SOFTWARE\\K", "missing"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'missing' does not exist"), std::string::npos) << r.err;
    r = Run({"reg", "query", "HKCU\\Software"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("unsupported root key"), std::string::npos) << r.err;
}

TEST_F(Tool, AMalformedImportIsReportedAndChangesNothing) {
    ASSERT_EQ(Run({"init"}).exitCode, 0);
    const std::string before = ReadFile(HiveFile());
    Result r = Run({"reg", "import", "-"}, "REGEDIT4\n[HKLM\\A]\n\"x\"=bad\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("(stdin): line 3: unknown value data"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(HiveFile()), before);
    r = Run({"reg", "import", (io_ / "missing.reg").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;
}

TEST_F(Tool, PathMapsWindowsPathsToHostPaths) {
    ASSERT_EQ(Run({"init"}).exitCode, 0);
    Result r = Run({"path", "C:\\Program Files\\Société"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, (Machine() / "drives" / "c" / "Program Files" / "Société").string() + "\n");
    r = Run({"path", "\\\\server\\share\\file"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no host path"), std::string::npos) << r.err;
}

TEST_F(Tool, TheEnvironmentChoosesTheWorkstation) {
    setenv("WORKSTATION_DIR", Machine().c_str(), 1);
    Result r = Run({"init"}, {}, false);
    unsetenv("WORKSTATION_DIR");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(HiveFile()));
}

TEST_F(Tool, UsageErrors) {
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"frobnicate"},
                                                                  {"reg"},
                                                                  {"reg", "delete"},
                                                                  {"reg", "query"},
                                                                  {"reg", "export", "extra"},
                                                                  {"path"},
                                                                  {"--bogus", "init"},
                                                                  {"init", "extra"}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
        EXPECT_NE(r.err.find("workstation: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
    const Result r = Run({"--workstation"}, {}, false);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--workstation needs a folder"), std::string::npos) << r.err;
}

TEST_F(Tool, Help) {
    const Result r = Run({"--help"}, {}, false);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("reg import FILE"), std::string::npos);
    EXPECT_NE(r.out.find("Windows-1252"), std::string::npos);
}

}  // namespace
