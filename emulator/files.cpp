#include "emulator/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace emulator {
namespace fs = std::filesystem;

OsError OsErrorOf(int code) {
    switch (code) {
        case 2:
            return {2, "The system cannot find the file specified."};
        case 3:
            return {3, "The system cannot find the path specified."};
        case 5:
            return {5, "Access is denied."};
        case 32:
            return {32,
                    "The process cannot access the file because it is being used by another "
                    "process."};
        case 38:
            return {38, "Reached the end of the file."};
        case 53:
            return {53, "The network path was not found."};
        case 112:
            return {112, "There is not enough space on the disk."};
        case 123:
            return {123, "The filename, directory name, or volume label syntax is incorrect."};
        case 206:
            return {206, "The filename or extension is too long."};
        default:
            return {1117, "The request could not be performed because of an I/O device error."};
    }
}

OsError OsErrorFromErrno(int err, const fs::path& host) {
    switch (err) {
        case ENOENT: {
            std::error_code ec;
            return OsErrorOf(fs::is_directory(host.parent_path(), ec) ? 2 : 3);
        }
        case ENOTDIR:
            return OsErrorOf(3);
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return OsErrorOf(5);
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return OsErrorOf(112);
        case ENAMETOOLONG:
            return OsErrorOf(206);
        case EBUSY:
        case ETXTBSY:
            return OsErrorOf(32);
        case EINVAL:
        case ELOOP:
            return OsErrorOf(123);
        default:
            return OsErrorOf(1117);
    }
}

namespace {

// Read once, while the process still has one thread: reading the umask means
// setting it, which would race with the connections' threads creating files.
const mode_t kUmask = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}();

}  // namespace

PendingFile::PendingFile(fs::path target) : target_(std::move(target)) {
    std::string templ =
        (target_.parent_path() / ("." + target_.filename().string() + ".XXXXXX")).string();
    fd_ = mkostemp(templ.data(), O_CLOEXEC);
    if (fd_ < 0) {
        throw FileFailure{OsErrorFromErrno(errno, target_)};
    }
    temp_ = templ;
    // mkstemp gives 0600; database and backup files get the usual 0666 less
    // the umask, like any file the server creates.
    fchmod(fd_, 0666 & ~kUmask);
}

PendingFile::~PendingFile() {
    Discard();
}

void PendingFile::Write(const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FileFailure{OsErrorFromErrno(errno, target_)};
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void PendingFile::Sync() {
    if (fsync(fd_) != 0) {
        throw FileFailure{OsErrorFromErrno(errno, target_)};
    }
}

void PendingFile::Commit() {
    if (::close(fd_) != 0) {
        fd_ = -1;
        throw FileFailure{OsErrorFromErrno(errno, target_)};
    }
    fd_ = -1;
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
        throw FileFailure{OsErrorFromErrno(errno, target_)};
    }
    done_ = true;
    const int dir = ::open(target_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        ::close(dir);
    }
}

void PendingFile::Keep() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    done_ = true;
}

void PendingFile::Discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!done_ && !temp_.empty()) {
        ::unlink(temp_.c_str());
        done_ = true;
    }
}

InputFile::InputFile(const fs::path& host) : host_(host) {
    fd_ = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        throw FileFailure{OsErrorFromErrno(errno, host)};
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        // Windows refuses to open a folder as a file: access denied.
        ::close(fd_);
        fd_ = -1;
        throw FileFailure{OsErrorOf(5)};
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

InputFile::~InputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::size_t InputFile::Read(void* data, std::size_t size) {
    while (true) {
        const ssize_t n = ::read(fd_, data, size);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            throw FileFailure{OsErrorFromErrno(errno, host_)};
        }
    }
}

bool InputFile::ReadExact(void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const std::size_t n = Read(p, size);
        if (n == 0) {
            return false;
        }
        p += n;
        size -= n;
    }
    return true;
}

}  // namespace emulator
