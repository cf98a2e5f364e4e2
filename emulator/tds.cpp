#include "emulator/tds.h"

#include <algorithm>

#include "platform/text.h"

namespace emulator::tds {

namespace {

// Decodes UTF-16LE code points, a lone surrogate as `bad`; an odd last byte
// is dropped.
template <typename F>
void ForEachCodePoint(std::string_view utf16le, char32_t bad, F&& f) {
    const std::size_t n = utf16le.size() / 2;
    auto unit = [&](std::size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(utf16le[2 * i]) |
                                     (static_cast<unsigned char>(utf16le[2 * i + 1]) << 8));
    };
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < n && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000) {
            f(static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00)));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            f(bad);
        } else {
            f(static_cast<char32_t>(u));
        }
    }
}

}  // namespace

std::string AnsiToUtf16(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size() * 2);
    for (const char c : ansi) {
        const char32_t u = platform::AnsiCharToUnicode(static_cast<unsigned char>(c));
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>((u >> 8) & 0xFF));
    }
    return out;
}

AnsiString Utf16ToAnsi(std::string_view utf16le) {
    AnsiString out;
    out.reserve(utf16le.size() / 2);
    ForEachCodePoint(utf16le, U'?', [&](char32_t u) {
        const int c = platform::UnicodeToAnsiChar(u);
        out.push_back(c < 0 ? '?' : static_cast<char>(c));
    });
    return out;
}

std::string Utf16ToUtf8(std::string_view utf16le) {
    std::string out;
    ForEachCodePoint(utf16le, U'\uFFFD', [&](char32_t u) { platform::AppendUtf8(out, u); });
    return out;
}

std::uint8_t Reader::U8() {
    return static_cast<std::uint8_t>(Bytes(1)[0]);
}

std::uint16_t Reader::U16() {
    const auto b = Bytes(2);
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[0]) |
                                      (static_cast<unsigned char>(b[1]) << 8));
}

std::uint32_t Reader::U32() {
    const auto b = Bytes(4);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(b[static_cast<std::size_t>(i)]);
    }
    return v;
}

std::string_view Reader::Bytes(std::size_t n) {
    if (n > Remaining()) {
        throw ProtocolError("message ends early");
    }
    const auto b = bytes_.substr(pos_, n);
    pos_ += n;
    return b;
}

void TokenWriter::U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
}

void TokenWriter::U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
}

void TokenWriter::U64(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
}

void TokenWriter::BVarchar(std::string_view ansi) {
    ansi = ansi.substr(0, 255);
    U8(static_cast<std::uint8_t>(ansi.size()));
    Raw(AnsiToUtf16(ansi));
}

void TokenWriter::UsVarchar(std::string_view ansi) {
    ansi = ansi.substr(0, 0xFFFF);
    U16(static_cast<std::uint16_t>(ansi.size()));
    Raw(AnsiToUtf16(ansi));
}

void TokenWriter::Message(std::int32_t number, std::uint8_t state, std::uint8_t severity,
                          std::string_view text, std::string_view server, std::int32_t line) {
    // SQL Server keeps message texts within 2,047 characters; so do we, which
    // also keeps the token's 16-bit length in range.
    text = text.substr(0, 2047);
    server = server.substr(0, 128);
    TokenWriter body(version_);
    body.U32(static_cast<std::uint32_t>(number));
    body.U8(state);
    body.U8(severity);
    body.UsVarchar(text);
    body.BVarchar(server);
    body.BVarchar("");
    if (AtLeast72()) {
        body.U32(static_cast<std::uint32_t>(line));
    } else {
        body.U16(static_cast<std::uint16_t>(line));
    }
    U8(severity > 10 ? 0xAA : 0xAB);
    U16(static_cast<std::uint16_t>(body.out_.size()));
    Raw(body.out_);
}

void TokenWriter::EnvChange(std::uint8_t type, std::string_view newValue,
                            std::string_view oldValue) {
    TokenWriter body(version_);
    body.U8(type);
    body.BVarchar(newValue);
    body.BVarchar(oldValue);
    U8(0xE3);
    U16(static_cast<std::uint16_t>(body.out_.size()));
    Raw(body.out_);
}

void TokenWriter::EnvChangeCollation(std::string_view collation) {
    U8(0xE3);
    U16(static_cast<std::uint16_t>(1 + 1 + collation.size() + 1));
    U8(7);
    U8(static_cast<std::uint8_t>(collation.size()));
    Raw(collation);
    U8(0);
}

void TokenWriter::LoginAck(std::string_view programName, std::uint32_t programVersion) {
    TokenWriter body(version_);
    body.U8(1);  // SQL_TSQL
    // The TDS version goes big-endian here, unlike everywhere else.
    for (int shift = 24; shift >= 0; shift -= 8) {
        body.U8(static_cast<std::uint8_t>(version_ >> shift));
    }
    body.BVarchar(programName);
    for (int shift = 24; shift >= 0; shift -= 8) {
        body.U8(static_cast<std::uint8_t>(programVersion >> shift));
    }
    U8(0xAD);
    U16(static_cast<std::uint16_t>(body.out_.size()));
    Raw(body.out_);
}

void TokenWriter::ReturnStatus(std::int32_t value) {
    U8(0x79);
    U32(static_cast<std::uint32_t>(value));
}

void TokenWriter::ReturnIntValue(std::uint16_t ordinal, std::string_view name, std::int32_t value) {
    U8(0xAC);
    U16(ordinal);
    BVarchar(name);
    U8(0x01);  // output parameter
    if (AtLeast72()) {
        U32(0);
    } else {
        U16(0);
    }
    U16(0x0001);
    U8(0x26);  // INTN
    U8(4);
    U8(4);
    U32(static_cast<std::uint32_t>(value));
}

void TokenWriter::Done(std::uint16_t status, std::uint16_t curCmd, std::uint64_t rowCount,
                       std::uint8_t token) {
    U8(token);
    U16(status);
    U16(curCmd);
    if (AtLeast72()) {
        U64(rowCount);
    } else {
        U32(static_cast<std::uint32_t>(rowCount));
    }
}

std::uint32_t NegotiateVersion(std::uint32_t clientVersion) {
    const std::uint8_t major = static_cast<std::uint8_t>(clientVersion >> 24);
    if (major < 0x70) {
        return 0;
    }
    for (const std::uint32_t v : {kTds74, kTds73, kTds72, kTds71}) {
        if (major >= (v >> 24)) {
            return v;
        }
    }
    return kTds70;
}

}  // namespace emulator::tds
