#include "emulator/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace emulator {
namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // reflected Castagnoli

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        }
        t[0][i] = c;
    }
    for (std::size_t j = 1; j < 8; ++j) {
        for (std::size_t i = 0; i < 256; ++i) {
            t[j][i] = (t[j - 1][i] >> 8) ^ t[0][t[j - 1][i] & 0xFF];
        }
    }
    return t;
}

constexpr Tables kTables = MakeTables();

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t Hardware(std::uint32_t crc, const unsigned char* p,
                                                         std::size_t n) {
    std::uint64_t c = crc;
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
        p += 8;
        n -= 8;
    }
    auto c32 = static_cast<std::uint32_t>(c);
    while (n-- > 0) {
        c32 = _mm_crc32_u8(c32, *p++);
    }
    return c32;
}

bool HasHardware() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

}  // namespace

std::uint32_t Crc32cPortable(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint32_t c = ~crc;
    while (size >= 8) {
        std::uint32_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= c;
        c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
            kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
            kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0) {
        c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
    }
    return ~c;
}

std::uint32_t Crc32c(std::uint32_t crc, const void* data, std::size_t size) {
#if defined(__x86_64__)
    if (HasHardware()) {
        return ~Hardware(~crc, static_cast<const unsigned char*>(data), size);
    }
#endif
    return Crc32cPortable(crc, data, size);
}

}  // namespace emulator
