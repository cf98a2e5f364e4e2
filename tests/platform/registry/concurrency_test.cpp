// Two processes writing at once through TRegistry lose nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/hive.h"
#include "platform/registry.h"
#include "tests/support/temp_workstation.h"

using namespace platform;

namespace {

constexpr int kValuesPerProcess = 1000;

// The child's work; its exit status tells the parent how it went.
[[noreturn]] void WriteValues(char prefix) {
    int status = 0;
    try {
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        if (!reg.OpenKey("\\SOFTWARE\\Concurrency", true)) {
            _exit(3);
        }
        for (int i = 0; i < kValuesPerProcess; ++i) {
            reg.WriteString(std::string(1, prefix) + std::to_string(i),
                            "value " + std::to_string(i));
        }
    } catch (...) {
        status = 4;
    }
    _exit(status);
}

TEST(Concurrency, TwoProcessesWritingAtOnceLoseNothing) {
    testsupport::TempWorkstation ws;
    Hive().CreateIfMissing();
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            WriteValues(c == 0 ? 'a' : 'b');
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    const RegKey tree = Hive().Load();
    const RegKey* key = tree.FindPath("SOFTWARE\\Concurrency");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Values().size(), 2u * kValuesPerProcess);
    TRegistry reg(KEY_READ);
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Concurrency", false));
    for (int i = 0; i < kValuesPerProcess; ++i) {
        for (char prefix : {'a', 'b'}) {
            const RegValue* v = key->FindValue(std::string(1, prefix) + std::to_string(i));
            ASSERT_NE(v, nullptr) << prefix << i;
            EXPECT_EQ(v->Text(), "value " + std::to_string(i));
        }
    }
    // No temporary file is left behind.
    for (const auto& e : std::filesystem::directory_iterator(ws.Root() / "registry")) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name == "HKEY_LOCAL_MACHINE.reg" || name == "HKEY_LOCAL_MACHINE.reg.lock")
            << name;
    }
}

}  // namespace
