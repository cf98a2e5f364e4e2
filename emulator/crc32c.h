// CRC-32C (Castagnoli) of the backup file's blocks: the processor's crc32
// instruction where it has one, slicing-by-8 tables elsewhere, so that
// checking a backup costs little next to reading it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace emulator {

// Continues `crc` (0 for a fresh sum) over `size` bytes.
std::uint32_t Crc32c(std::uint32_t crc, const void* data, std::size_t size);

// The portable path alone, for tests that compare both.
std::uint32_t Crc32cPortable(std::uint32_t crc, const void* data, std::size_t size);

}  // namespace emulator
