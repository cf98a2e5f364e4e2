// The stored form of the sa password under Config.ini's [Main] SAPWD. The
// product and its tools read it back, so the key and the treatment of every
// 32nd byte are a format shared with them and must never change.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "platform/text.h"

namespace settings {

using platform::AnsiString;

inline constexpr std::array<unsigned char, 32> PasswordKey = {
    0x3c, 0x9a, 0x51, 0xe7, 0x08, 0xd4, 0x6b, 0x2f, 0xa3, 0x75, 0x1e, 0xc8, 0x94, 0x0d, 0x5b, 0xf6,
    0x27, 0xe1, 0x8c, 0x4a, 0xb9, 0x13, 0xd0, 0x6e, 0x72, 0xaf, 0x05, 0xc3, 0x98, 0x3b, 0x4e, 0xd6};

// Two uppercase hexadecimal digits per byte of the Windows-1252 password.
AnsiString ScramblePassword(std::string_view password);

// The reader's side: the password back, byte for byte; nullopt when the text
// is not pairs of hexadecimal digits.
std::optional<AnsiString> UnscramblePassword(std::string_view scrambled);

}  // namespace settings
