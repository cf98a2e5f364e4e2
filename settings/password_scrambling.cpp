#include "settings/password_scrambling.h"

namespace settings {

namespace {

// Byte j (counted from 0) is XORed with key byte j mod 32, except the last
// of each cycle of 32, which stays as typed: key byte 32 never takes part.
unsigned char Scrambled(unsigned char byte, std::size_t j) {
    const std::size_t k = j % PasswordKey.size();
    return k == PasswordKey.size() - 1 ? byte : static_cast<unsigned char>(byte ^ PasswordKey[k]);
}

}  // namespace

AnsiString ScramblePassword(std::string_view password) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    AnsiString out;
    out.reserve(password.size() * 2);
    for (std::size_t j = 0; j < password.size(); ++j) {
        const unsigned char b = Scrambled(static_cast<unsigned char>(password[j]), j);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::optional<AnsiString> UnscramblePassword(std::string_view scrambled) {
    if (scrambled.size() % 2 != 0)
        return std::nullopt;
    AnsiString out;
    out.reserve(scrambled.size() / 2);
    for (std::size_t i = 0; i < scrambled.size(); i += 2) {
        const int high = platform::HexDigitValue(scrambled[i]);
        const int low = platform::HexDigitValue(scrambled[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(Scrambled(static_cast<unsigned char>(high * 16 + low), i / 2));
    }
    return out;
}

}  // namespace settings
