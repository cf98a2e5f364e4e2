// The program's texts: 8-bit strings in the Windows-1252 code page, as the
// original Windows program held them. Conversion happens only at the edges:
// window controls (QString), host file names and terminal output (UTF-8).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Bytes of Windows-1252 text. Never UTF-8 unless converted on purpose.
using AnsiString = std::string;

// Characters that Windows-1252 lacks become '?', as WideCharToMultiByte does.
// Invalid UTF-8 sequences also give one '?' each.
AnsiString Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);

// Appends one code point in UTF-8.
void AppendUtf8(std::string& out, char32_t u);
// The value of a hexadecimal digit, -1 for any other character.
int HexDigitValue(char c);

// One code point of a Windows-1252 byte, and back (-1 when not representable).
char32_t AnsiCharToUnicode(unsigned char c);
int UnicodeToAnsiChar(char32_t u);

// Case mapping of Windows-1252 letters (accented ones included), as
// AnsiUpperCase/AnsiLowerCase do for the Western European locale.
char AnsiUpper(char c);
char AnsiLower(char c);
AnsiString AnsiUpperCase(std::string_view s);
AnsiString AnsiLowerCase(std::string_view s);
bool AnsiSameText(std::string_view a, std::string_view b);

// Letters a to z only; every other byte compares as stored.
AnsiString AsciiUpperCase(std::string_view s);

namespace literals {
// French texts are written in UTF-8 source and converted once, here.
inline AnsiString operator""_ansi(const char* s, std::size_t n) {
    return Utf8ToAnsi(std::string_view(s, n));
}
}  // namespace literals

}  // namespace platform
