// File work shared by RESTORE, BACKUP and CREATE DATABASE: Windows error
// codes as SQL Server quotes them, and files that appear whole or not at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/text.h"

namespace emulator {

using platform::AnsiString;

// A Windows system error: its number and its text, as in
// "Operating system error 2(The system cannot find the file specified.)".
struct OsError {
    int code;
    AnsiString text;
    AnsiString Quoted() const { return std::to_string(code) + "(" + text + ")"; }
};

OsError OsErrorOf(int code);
// The Windows error for a failed POSIX call on `host` (ENOENT gives 3, not 2,
// when the folder itself is missing).
OsError OsErrorFromErrno(int err, const std::filesystem::path& host);

// An error of ours that carries a Windows error, thrown by the helpers below.
struct FileFailure {
    OsError error;
};

// A new file written beside its target under a temporary name, flushed to
// disk, and renamed over the target only by Commit(); dropped unless
// committed. The folder must exist.
class PendingFile {
  public:
    explicit PendingFile(std::filesystem::path target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    void Write(const void* data, std::size_t size);
    // fsync; Commit() needs it first.
    void Sync();
    // Renames over the target and syncs the folder.
    void Commit();
    // Removes the temporary file now.
    void Discard();
    // Leaves the temporary file where it is, for a journal's recovery.
    void Keep();

    const std::filesystem::path& Target() const { return target_; }
    const std::filesystem::path& TemporaryPath() const { return temp_; }

  private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    int fd_ = -1;
    bool done_ = false;
};

// A file opened for reading, closed on destruction.
class InputFile {
  public:
    explicit InputFile(const std::filesystem::path& host);  // throws FileFailure
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::uint64_t Size() const { return size_; }
    // Up to `size` bytes; 0 at the end. Throws FileFailure.
    std::size_t Read(void* data, std::size_t size);
    // Exactly `size` bytes, false when the file ends first.
    bool ReadExact(void* data, std::size_t size);

  private:
    std::filesystem::path host_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// Page-aligned buffers of the copy loops: large, so that reading and writing
// run at disk speed.
constexpr std::size_t kCopyBufferSize = 4 * 1024 * 1024;

}  // namespace emulator
