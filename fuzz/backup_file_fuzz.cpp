// Backup files, read through as RESTORE VERIFYONLY does. The header's
// checksum is set right before reading, so that mutations reach the header's
// fields instead of stopping at the checksum (a replayed valid file is
// unchanged by it).
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "emulator/backup_file.h"
#include "emulator/crc32c.h"
#include "fuzz/fuzz_support.h"

namespace {

class ScratchFile {
  public:
    ScratchFile()
        : path_(std::filesystem::temp_directory_path() /
                ("quill-backup-fuzz-" + std::to_string(getpid()) + ".bak")) {}
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile scratch;
    std::string bytes(quillfuzz::Bytes(data, size));
    if (bytes.size() >= 16) {
        std::uint32_t headerSize = 0;
        for (int i = 3; i >= 0; --i) {
            headerSize = (headerSize << 8) |
                         static_cast<unsigned char>(bytes[12 + static_cast<std::size_t>(i)]);
        }
        if (std::size_t{headerSize} + 20 <= bytes.size()) {
            const std::uint32_t crc = emulator::Crc32c(0, bytes.data() + 16, headerSize);
            for (int i = 0; i < 4; ++i) {
                bytes[16 + headerSize + static_cast<std::size_t>(i)] =
                    static_cast<char>(crc >> (8 * i));
            }
        }
    }
    {
        std::ofstream out(scratch.Path(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        quillfuzz::Require(static_cast<bool>(out), "the scratch file is written");
    }
    try {
        emulator::BackupReader reader(scratch.Path());
        std::uint64_t copied = 0;
        for (std::size_t i = 0; i < reader.Header().files.size(); ++i) {
            reader.CopyNextFile([&](const char*, std::size_t n) {
                copied += n;
                return true;
            });
        }
        reader.Finish();
        std::uint64_t announced = 0;
        for (const auto& f : reader.Header().files) {
            announced += f.size;
        }
        quillfuzz::Require(copied == announced, "a backup that reads whole gives every byte");
    } catch (const emulator::BackupError&) {
    }
    return 0;
}
