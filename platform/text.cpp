#include "platform/text.h"

#include <array>

namespace platform {
namespace {

// 0x80..0x9F of Windows-1252. The five undefined positions map to the C1
// controls of the same value, as MultiByteToWideChar does.
constexpr std::array<char32_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

void AppendUtf8(std::string& out, char32_t u) {
    if (u < 0x80) {
        out += static_cast<char>(u);
    } else if (u < 0x800) {
        out += static_cast<char>(0xC0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        out += static_cast<char>(0xE0 | (u >> 12));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (u >> 18));
        out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char32_t AnsiCharToUnicode(unsigned char c) {
    if (c >= 0x80 && c < 0xA0) {
        return kHigh[c - 0x80];
    }
    return c;
}

int UnicodeToAnsiChar(char32_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
        return static_cast<int>(u);
    }
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == u) {
            return static_cast<int>(0x80 + i);
        }
    }
    return -1;
}

AnsiString Utf8ToAnsi(std::string_view utf8) {
    AnsiString out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        char32_t u = 0;
        std::size_t len = 0;
        if (b < 0x80) {
            u = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            u = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            u = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            u = b & 0x07;
            len = 4;
        } else {
            out += '?';
            ++i;
            continue;
        }
        bool ok = i + len <= utf8.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) {
                ok = false;
            } else {
                u = (u << 6) | (c & 0x3F);
            }
        }
        if (!ok) {
            out += '?';
            ++i;
            continue;
        }
        const int a = UnicodeToAnsiChar(u);
        out += a < 0 ? '?' : static_cast<char>(a);
        i += len;
    }
    return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size() + ansi.size() / 4);
    for (char c : ansi) {
        AppendUtf8(out, AnsiCharToUnicode(static_cast<unsigned char>(c)));
    }
    return out;
}

char AnsiUpper(char c) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 'a' && b <= 'z') {
        return static_cast<char>(b - 32);
    }
    if (b >= 0xE0 && b <= 0xFE && b != 0xF7) {
        return static_cast<char>(b - 32);
    }
    switch (b) {
        case 0x9A:
            return static_cast<char>(0x8A);  // š
        case 0x9C:
            return static_cast<char>(0x8C);  // œ
        case 0x9E:
            return static_cast<char>(0x8E);  // ž
        case 0xFF:
            return static_cast<char>(0x9F);  // ÿ
        default:
            return c;
    }
}

char AnsiLower(char c) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 'A' && b <= 'Z') {
        return static_cast<char>(b + 32);
    }
    if (b >= 0xC0 && b <= 0xDE && b != 0xD7) {
        return static_cast<char>(b + 32);
    }
    switch (b) {
        case 0x8A:
            return static_cast<char>(0x9A);
        case 0x8C:
            return static_cast<char>(0x9C);
        case 0x8E:
            return static_cast<char>(0x9E);
        case 0x9F:
            return static_cast<char>(0xFF);
        default:
            return c;
    }
}

AnsiString AnsiUpperCase(std::string_view s) {
    AnsiString out(s);
    for (char& c : out) {
        c = AnsiUpper(c);
    }
    return out;
}

AnsiString AnsiLowerCase(std::string_view s) {
    AnsiString out(s);
    for (char& c : out) {
        c = AnsiLower(c);
    }
    return out;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AnsiUpper(a[i]) != AnsiUpper(b[i])) {
            return false;
        }
    }
    return true;
}

AnsiString AsciiUpperCase(std::string_view s) {
    AnsiString out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return out;
}

}  // namespace platform
