// The emulator's backup file: a header naming the database and its logical
// files, then each file's bytes with a CRC-32C, then a trailer. The layout is
// described in emulator/README.md.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulator/files.h"
#include "platform/text.h"

namespace emulator {

using platform::AnsiString;
using FamilyGuid = std::array<std::uint8_t, 16>;

struct BackupFileEntry {
    AnsiString logical;
    bool log = false;
    AnsiString originalPath;  // Windows path on the server that made it
    std::uint64_t size = 0;
};

struct BackupHeader {
    AnsiString database;
    FamilyGuid family{};
    std::uint64_t createdUnixSeconds = 0;
    std::vector<BackupFileEntry> files;
};

// Why a backup cannot be read.
struct BackupError {
    enum class Kind {
        Open,       // the file cannot be opened: `os` says why
        Malformed,  // not a backup of ours, or its header does not hold
        Truncated,  // shorter than its header announces
        Damaged,    // a checksum does not match
        Read,       // the system failed a read: `os` says why
    };
    Kind kind;
    OsError os{0, ""};
};

// Called with each block; returning false stops the copy (cancelled).
using BlockSink = std::function<bool(const char* data, std::size_t size)>;

// Streams a backup: the header first, then each file in order, each block
// handed to a sink as it is read and checked. Memory stays at one buffer.
class BackupReader {
  public:
    // Throws BackupError.
    explicit BackupReader(const std::filesystem::path& host);

    const BackupHeader& Header() const { return header_; }
    // The next file's bytes, in order; throws BackupError (Damaged when its
    // checksum fails, after the whole file has gone through the sink).
    // False when the sink stopped it.
    bool CopyNextFile(const BlockSink& sink);
    // After the last file: the trailer, and nothing after it.
    void Finish();

  private:
    void ReadExact(void* data, std::size_t size);

    InputFile in_;
    BackupHeader header_;
    std::size_t next_ = 0;
    std::unique_ptr<char[]> buffer_;
};

// Writes a backup to a pending file; the caller commits it.
class BackupWriter {
  public:
    BackupWriter(PendingFile& out, const BackupHeader& header);
    // Streams one file's content in header order; the source must hold
    // exactly the announced size (FileFailure otherwise).
    bool CopyFile(InputFile& source, const BlockSink& progress);
    void Finish();

  private:
    PendingFile& out_;
    const BackupHeader& header_;
    std::size_t next_ = 0;
    std::unique_ptr<char[]> buffer_;
};

// The header's encoding, shared by both sides and by tests that corrupt it.
std::string EncodeBackupPrologue(const BackupHeader& header);
inline constexpr char kBackupMagic[8] = {'Q', 'M', 'S', 'E', 'B', 'A', 'K', '\x1A'};
inline constexpr char kBackupTrailer[8] = {'Q', 'M', 'S', 'E', 'E', 'N', 'D', '\x1A'};
inline constexpr std::uint32_t kBackupVersion = 1;

}  // namespace emulator
