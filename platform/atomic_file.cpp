#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/exception.h"

namespace platform {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& file, int err) {
    throw EOSError(what + " '" + file.string() + "': " + std::strerror(err));
}

// A name of the target's folder that no other writer (thread or process)
// picks at the same time; O_EXCL makes sure of it.
std::filesystem::path TemporaryName(const std::filesystem::path& target, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    std::string name = "." + target.filename().string() + ".tmp." + std::to_string(getpid()) + "." +
                       std::to_string(counter.fetch_add(1)) + "." + std::to_string(attempt);
    return target.parent_path() / name;
}

void WriteAll(int fd, std::string_view bytes, const std::filesystem::path& file) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("Cannot write", file, errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

class TemporaryFile {
  public:
    explicit TemporaryFile(const std::filesystem::path& target) {
        for (unsigned attempt = 0;; ++attempt) {
            path_ = TemporaryName(target, attempt);
            fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) {
                return;
            }
            if (errno != EEXIST || attempt > 100) {
                Fail("Cannot create a temporary file for", target, errno);
            }
        }
    }
    ~TemporaryFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!committed_) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int Fd() const { return fd_; }
    const std::filesystem::path& Path() const { return path_; }
    void Close(const std::filesystem::path& target) {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            Fail("Cannot write", target, errno);
        }
    }
    void Committed() { committed_ = true; }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
    bool committed_ = false;
};

std::filesystem::path ResolveTarget(const std::filesystem::path& target) {
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec)) {
        std::filesystem::path resolved = std::filesystem::read_symlink(target, ec);
        if (!ec) {
            return resolved.is_absolute() ? resolved : target.parent_path() / resolved;
        }
    }
    return target;
}

}  // namespace

void WriteFileAtomically(const std::filesystem::path& requested, std::string_view bytes) {
    const std::filesystem::path target = ResolveTarget(
        requested.has_parent_path() ? requested : std::filesystem::path(".") / requested);
    const std::filesystem::path folder = target.parent_path();

    struct stat folderInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0) {
        Fail("Cannot write", target, errno);
    }
    if (!S_ISDIR(folderInfo.st_mode)) {
        Fail("Cannot write", target, ENOTDIR);
    }
    struct stat old {};
    const bool replacing = ::stat(target.c_str(), &old) == 0;
    if (replacing && S_ISDIR(old.st_mode)) {
        Fail("Cannot write", target, EISDIR);
    }

    TemporaryFile temp(target);
    WriteAll(temp.Fd(), bytes, target);
    if (replacing && ::fchmod(temp.Fd(), old.st_mode & 07777) != 0) {
        Fail("Cannot set the permissions of", target, errno);
    }
    if (::fsync(temp.Fd()) != 0) {
        Fail("Cannot flush", target, errno);
    }
    temp.Close(target);
    if (::rename(temp.Path().c_str(), target.c_str()) != 0) {
        Fail("Cannot replace", target, errno);
    }
    temp.Committed();

    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        Fail("Cannot flush the folder of", target, errno);
    }
    // Some file systems cannot flush a folder; the rename itself is done.
    const int rc = ::fsync(dir);
    const int err = errno;
    ::close(dir);
    if (rc != 0 && err != EINVAL && err != EROFS) {
        Fail("Cannot flush the folder of", target, err);
    }
}

int ReadWholeFile(const std::filesystem::path& file, std::string& bytes) {
    bytes.clear();
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            ::close(fd);
            return err;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return 0;
}

std::filesystem::path LockFileFor(const std::filesystem::path& target) {
    std::filesystem::path lock = target;
    lock += ".lock";
    return lock;
}

FileLock::FileLock(const std::filesystem::path& lockFile) : fd_(-1) {
    fd_ = ::open(lockFile.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        Fail("Cannot open the lock file", lockFile, errno);
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int err = errno;
            ::close(fd_);
            Fail("Cannot lock", lockFile, err);
        }
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
}

}  // namespace platform
