// Safe replacement of the workstation's stored files (the registry hive, INI
// files, the database engine's alias file): the new content goes to a
// temporary file of the same folder, which is flushed and renamed over the
// target, so that a crash leaves either the old or the new file.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Replaces (or creates) `target` with exactly `bytes`. The new file keeps the
// permission bits of the one it replaces; a new file gets 0666 less the umask.
// The folder must exist (it is never created). A symbolic link is followed:
// the file it points to is replaced, the link stays. On failure the target is
// left as it was, the temporary file is removed, and platform::EOSError is
// thrown naming the file and the system's reason.
void WriteFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// Reads the whole file into `bytes`: 0, or the errno of the failed open or
// read (ENOENT for a missing file), so that each caller words its own error.
int ReadWholeFile(const std::filesystem::path& file, std::string& bytes);

// An exclusive advisory lock (flock) held on a lock file for one
// read-modify-write cycle across processes; waits until it is granted. The
// lock file is created when missing (its folder must exist) and is left in
// place. Throws platform::EOSError when the file cannot be opened or locked.
class FileLock {
  public:
    explicit FileLock(const std::filesystem::path& lockFile);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    int fd_;
};

// The lock file that guards `target`: the same path with ".lock" appended.
std::filesystem::path LockFileFor(const std::filesystem::path& target);

}  // namespace platform
