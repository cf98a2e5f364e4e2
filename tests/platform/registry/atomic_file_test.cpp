// Atomic replacement of stored files, and the lock of read-modify-write cycles.
#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "platform/exception.h"
#include "tests/support/temp_workstation.h"

namespace fs = std::filesystem;
using platform::EOSError;
using testsupport::ReadFile;

namespace {

class AtomicFile : public testing::Test {
  protected:
    fs::path Dir() const { return ws_.Root() / "registry"; }
    // Everything in the folder but the given file.
    std::vector<std::string> Others(const fs::path& except) const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Dir())) {
            if (e.path() != except) {
                names.push_back(e.path().filename().string());
            }
        }
        return names;
    }
    static mode_t ModeOf(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0);
        return st.st_mode & 07777;
    }

    testsupport::TempWorkstation ws_;
};

TEST_F(AtomicFile, CreatesANewFileWithTheUmaskMode) {
    const mode_t old = ::umask(027);
    const fs::path file = Dir() / "new.ini";
    platform::WriteFileAtomically(file, std::string("a\0b", 3));
    ::umask(old);
    EXPECT_EQ(ReadFile(file), std::string("a\0b", 3));
    EXPECT_EQ(ModeOf(file), 0640u);
    EXPECT_TRUE(Others(file).empty());
}

TEST_F(AtomicFile, ReplacesKeepingTheMode) {
    const fs::path file = Dir() / "f.ini";
    ws_.WriteFile(file, "old content that is longer");
    fs::permissions(file, fs::perms(0604));
    platform::WriteFileAtomically(file, "new");
    EXPECT_EQ(ReadFile(file), "new");
    EXPECT_EQ(ModeOf(file), 0604u);
    platform::WriteFileAtomically(file, "");
    EXPECT_EQ(ReadFile(file), "");
    EXPECT_TRUE(Others(file).empty());
}

TEST_F(AtomicFile, FollowsASymbolicLink) {
    const fs::path real = Dir() / "real.ini";
    const fs::path link = Dir() / "link.ini";
    ws_.WriteFile(real, "old");
    fs::create_symlink("real.ini", link);
    platform::WriteFileAtomically(link, "new");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "new");
}

TEST_F(AtomicFile, AMissingFolderIsAnErrorAndIsNotCreated) {
    const fs::path file = ws_.Root() / "missing" / "f.ini";
    try {
        platform::WriteFileAtomically(file, "x");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_NE(e.Message().find(file.string()), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("No such file or directory"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(file.parent_path()));
}

TEST_F(AtomicFile, AFolderInTheWayIsAnError) {
    const fs::path file = Dir() / "folder";
    fs::create_directory(file);
    EXPECT_THROW(platform::WriteFileAtomically(file, "x"), EOSError);
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_TRUE(Others(file).empty());
}

TEST_F(AtomicFile, AFailedWriteLeavesTheTargetAndNoTemporaryFile) {
    const fs::path file = Dir() / "f.ini";
    ws_.WriteFile(file, "old");
    // A file size limit makes the write of the temporary file fail (EFBIG).
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        platform::WriteFileAtomically(file, std::string(1000, 'x'));
    } catch (const EOSError& e) {
        message = e.Message();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_NE(message.find("File too large"), std::string::npos) << message;
    EXPECT_NE(message.find("f.ini"), std::string::npos) << message;
    EXPECT_EQ(ReadFile(file), "old");
    EXPECT_TRUE(Others(file).empty());
}

TEST_F(AtomicFile, LockIsExclusiveUntilReleased) {
    const fs::path target = Dir() / "f.ini";
    const fs::path lockFile = platform::LockFileFor(target);
    EXPECT_EQ(lockFile.filename(), "f.ini.lock");
    const int other = ::open(lockFile.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_GE(other, 0);
    {
        platform::FileLock lock(lockFile);
        EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);  // another open file: refused
    }
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
    EXPECT_THROW(platform::FileLock(ws_.Root() / "missing" / "x.lock"), EOSError);
}

}  // namespace
