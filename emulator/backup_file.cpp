#include "emulator/backup_file.h"

#include <cstring>

#include "emulator/crc32c.h"

namespace emulator {
namespace {

// Limits that a header of ours never comes near; past them it is not one.
constexpr std::uint32_t kMaxHeaderSize = 1024 * 1024;
constexpr std::uint32_t kMaxFiles = 32767;

void PutU16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v));
    out.push_back(static_cast<char>(v >> 8));
}
void PutU32(std::string& out, std::uint32_t v) {
    PutU16(out, static_cast<std::uint16_t>(v));
    PutU16(out, static_cast<std::uint16_t>(v >> 16));
}
void PutU64(std::string& out, std::uint64_t v) {
    PutU32(out, static_cast<std::uint32_t>(v));
    PutU32(out, static_cast<std::uint32_t>(v >> 32));
}
void PutText(std::string& out, const AnsiString& text) {
    PutU16(out, static_cast<std::uint16_t>(text.size()));
    out.append(text, 0, 0xFFFF);
}

std::uint64_t GetLE(const char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    }
    return v;
}

// Bounds-checked reading of the header block.
class HeaderReader {
  public:
    explicit HeaderReader(const std::string& bytes) : b_(bytes) {}
    std::uint64_t Get(int bytes) {
        Need(static_cast<std::size_t>(bytes));
        const auto v = GetLE(b_.data() + p_, bytes);
        p_ += static_cast<std::size_t>(bytes);
        return v;
    }
    AnsiString Text() {
        const auto n = static_cast<std::size_t>(Get(2));
        Need(n);
        AnsiString s = b_.substr(p_, n);
        p_ += n;
        return s;
    }
    void Raw(void* out, std::size_t n) {
        Need(n);
        std::memcpy(out, b_.data() + p_, n);
        p_ += n;
    }
    bool AtEnd() const { return p_ == b_.size(); }

  private:
    void Need(std::size_t n) const {
        if (n > b_.size() - p_) {
            throw BackupError{BackupError::Kind::Malformed};
        }
    }
    const std::string& b_;
    std::size_t p_ = 0;
};

std::string EncodeHeaderBlock(const BackupHeader& h) {
    std::string block;
    PutText(block, h.database);
    block.append(reinterpret_cast<const char*>(h.family.data()), h.family.size());
    PutU64(block, h.createdUnixSeconds);
    PutU32(block, static_cast<std::uint32_t>(h.files.size()));
    for (const auto& f : h.files) {
        block.push_back(f.log ? 1 : 0);
        PutText(block, f.logical);
        PutText(block, f.originalPath);
        PutU64(block, f.size);
    }
    return block;
}

}  // namespace

std::string EncodeBackupPrologue(const BackupHeader& header) {
    const std::string block = EncodeHeaderBlock(header);
    std::string out(kBackupMagic, sizeof kBackupMagic);
    PutU32(out, kBackupVersion);
    PutU32(out, static_cast<std::uint32_t>(block.size()));
    out += block;
    PutU32(out, Crc32c(0, block.data(), block.size()));
    return out;
}

BackupReader::BackupReader(const std::filesystem::path& host) try : in_(host) {
    char fixed[16];
    if (!in_.ReadExact(fixed, sizeof fixed) || std::memcmp(fixed, kBackupMagic, 8) != 0 ||
        GetLE(fixed + 8, 4) != kBackupVersion) {
        throw BackupError{BackupError::Kind::Malformed};
    }
    const auto headerSize = static_cast<std::uint32_t>(GetLE(fixed + 12, 4));
    if (headerSize > kMaxHeaderSize) {
        throw BackupError{BackupError::Kind::Malformed};
    }
    std::string block(headerSize, '\0');
    char crc[4];
    if (!in_.ReadExact(block.data(), block.size()) || !in_.ReadExact(crc, 4)) {
        throw BackupError{BackupError::Kind::Malformed};
    }
    if (Crc32c(0, block.data(), block.size()) != GetLE(crc, 4)) {
        throw BackupError{BackupError::Kind::Malformed};
    }
    HeaderReader r(block);
    header_.database = r.Text();
    r.Raw(header_.family.data(), header_.family.size());
    header_.createdUnixSeconds = r.Get(8);
    const auto count = static_cast<std::uint32_t>(r.Get(4));
    if (count > kMaxFiles) {
        throw BackupError{BackupError::Kind::Malformed};
    }
    // Every byte the header promises must be there, and nothing more: a
    // truncated copy is refused before anything is written.
    std::uint64_t expected = sizeof fixed + headerSize + 4 + sizeof kBackupTrailer;
    for (std::uint32_t i = 0; i < count; ++i) {
        BackupFileEntry f;
        const auto type = r.Get(1);
        if (type > 1) {
            throw BackupError{BackupError::Kind::Malformed};
        }
        f.log = type == 1;
        f.logical = r.Text();
        f.originalPath = r.Text();
        f.size = r.Get(8);
        if (f.logical.empty() || f.size > (std::uint64_t{1} << 50)) {
            throw BackupError{BackupError::Kind::Malformed};
        }
        expected += f.size + 4;
        // Checked at each file, so that many huge sizes cannot wrap the sum.
        if (in_.Size() < expected) {
            throw BackupError{BackupError::Kind::Truncated};
        }
        header_.files.push_back(std::move(f));
    }
    if (!r.AtEnd() || header_.database.empty()) {
        throw BackupError{BackupError::Kind::Malformed};
    }
    if (in_.Size() < expected) {
        throw BackupError{BackupError::Kind::Truncated};
    }
    if (in_.Size() > expected) {
        throw BackupError{BackupError::Kind::Malformed};
    }
} catch (const FileFailure& f) {
    throw BackupError{BackupError::Kind::Open, f.error};
}

void BackupReader::ReadExact(void* data, std::size_t size) {
    try {
        if (!in_.ReadExact(data, size)) {
            throw BackupError{BackupError::Kind::Truncated};
        }
    } catch (const FileFailure& f) {
        throw BackupError{BackupError::Kind::Read, f.error};
    }
}

bool BackupReader::CopyNextFile(const BlockSink& sink) {
    if (next_ >= header_.files.size()) {
        throw BackupError{BackupError::Kind::Malformed};
    }
    if (!buffer_) {
        buffer_.reset(new char[kCopyBufferSize]);
    }
    std::uint64_t left = header_.files[next_++].size;
    std::uint32_t crc = 0;
    while (left > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyBufferSize));
        ReadExact(buffer_.get(), n);
        crc = Crc32c(crc, buffer_.get(), n);
        if (!sink(buffer_.get(), n)) {
            return false;
        }
        left -= n;
    }
    char stored[4];
    ReadExact(stored, 4);
    if (GetLE(stored, 4) != crc) {
        throw BackupError{BackupError::Kind::Damaged};
    }
    return true;
}

void BackupReader::Finish() {
    char trailer[sizeof kBackupTrailer];
    ReadExact(trailer, sizeof trailer);
    if (next_ != header_.files.size() ||
        std::memcmp(trailer, kBackupTrailer, sizeof trailer) != 0) {
        throw BackupError{BackupError::Kind::Damaged};
    }
}

BackupWriter::BackupWriter(PendingFile& out, const BackupHeader& header)
    : out_(out), header_(header) {
    const std::string prologue = EncodeBackupPrologue(header);
    out_.Write(prologue.data(), prologue.size());
}

bool BackupWriter::CopyFile(InputFile& source, const BlockSink& progress) {
    if (!buffer_) {
        buffer_.reset(new char[kCopyBufferSize]);
    }
    std::uint64_t left = header_.files.at(next_++).size;
    std::uint32_t crc = 0;
    while (left > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kCopyBufferSize));
        if (!source.ReadExact(buffer_.get(), want)) {
            throw FileFailure{OsErrorOf(38)};
        }
        crc = Crc32c(crc, buffer_.get(), want);
        out_.Write(buffer_.get(), want);
        if (!progress(buffer_.get(), want)) {
            return false;
        }
        left -= want;
    }
    std::string tail;
    PutU32(tail, crc);
    out_.Write(tail.data(), tail.size());
    return true;
}

void BackupWriter::Finish() {
    out_.Write(kBackupTrailer, sizeof kBackupTrailer);
}

}  // namespace emulator
