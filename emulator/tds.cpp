#include "emulator/tds.h"

#include <algorithm>
#include <utility>

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

void CheckPrelogin(std::string_view body) {
    Reader r(body);
    while (r.U8() != 0xFF) {
        const auto b = r.Bytes(4);  // offset and length, big-endian
        const std::size_t offset =
            (std::size_t{static_cast<unsigned char>(b[0])} << 8) | static_cast<unsigned char>(b[1]);
        const std::size_t length =
            (std::size_t{static_cast<unsigned char>(b[2])} << 8) | static_cast<unsigned char>(b[3]);
        if (offset + length > body.size()) {
            throw ProtocolError("prelogin option out of bounds");
        }
    }
}

namespace {

// An offset and a length in characters (bytes when `bytes`) from LOGIN7's
// fixed part, pointing into the body.
std::string LoginField(std::string_view body, Reader& fixed, bool bytes = false) {
    const std::size_t offset = fixed.U16();
    const std::size_t count = fixed.U16();
    const std::size_t size = bytes ? count : count * 2;
    if (offset + size > body.size()) {
        throw ProtocolError("login field out of bounds");
    }
    return std::string(body.substr(offset, size));
}

}  // namespace

Login7 ParseLogin7(std::string_view body) {
    Reader r(body);
    Login7 login;
    const std::uint32_t length = r.U32();
    login.tdsVersion = r.U32();
    login.packetSize = r.U32();
    r.Skip(12);  // client program version, process id, connection id
    r.Skip(1);
    login.integratedSecurity = (r.U8() & 0x80) != 0;
    r.Skip(2 + 4 + 4);  // type flags, flags 3, time zone, LCID
    if (length > body.size() || length < 86) {
        throw ProtocolError("bad login length");
    }
    LoginField(body, r);  // host name
    login.user = LoginField(body, r);
    login.password = LoginField(body, r);
    login.appName = LoginField(body, r);
    LoginField(body, r);        // server name
    LoginField(body, r, true);  // extension
    LoginField(body, r);        // client library
    LoginField(body, r);        // language
    login.database = LoginField(body, r);
    for (char& c : login.password) {
        const auto b = static_cast<unsigned char>(c) ^ 0xA5;
        c = static_cast<char>(((b << 4) | (b >> 4)) & 0xFF);
    }
    return login;
}

namespace {

void SkipAllHeaders(Reader& r, std::string_view body, std::uint32_t tdsVersion) {
    if ((tdsVersion >> 24) < 0x72) {
        return;
    }
    const std::uint32_t total = r.U32();
    if (total < 4 || total > body.size()) {
        throw ProtocolError("bad ALL_HEADERS length");
    }
    r.Skip(total - 4);
}

RpcParam ReadParam(Reader& r, std::uint32_t tdsVersion) {
    const bool atLeast71 = (tdsVersion >> 24) >= 0x71;
    RpcParam p;
    p.name = Utf16ToAnsi(r.Bytes(std::size_t{r.U8()} * 2));
    r.U8();  // status flags
    const std::uint8_t type = r.U8();
    auto integer = [&](std::size_t size) {
        if (size == 0) {
            return;
        }
        if (size != 1 && size != 2 && size != 4 && size != 8) {
            throw ProtocolError("bad integer size");
        }
        const auto b = r.Bytes(size);
        std::uint64_t v = 0;
        for (std::size_t i = size; i-- > 0;) {
            v = (v << 8) | static_cast<unsigned char>(b[i]);
        }
        const unsigned bits = static_cast<unsigned>(size * 8);
        p.integer = bits == 64 ? static_cast<std::int64_t>(v)
                               : static_cast<std::int64_t>(v << (64 - bits)) >> (64 - bits);
        p.isNull = false;
    };
    auto text = [&](std::string_view bytes, bool unicode) {
        p.text = unicode ? Utf16ToAnsi(bytes) : AnsiString(bytes);
        p.isNull = false;
    };
    switch (type) {
        case 0x26:  // INTN
        case 0x68:  // BITN
            r.U8();
            integer(r.U8());
            break;
        case 0x30:
        case 0x32:
            integer(1);
            break;
        case 0x34:
            integer(2);
            break;
        case 0x38:
            integer(4);
            break;
        case 0x7F:
            integer(8);
            break;
        case 0xE7:    // NVARCHAR
        case 0xEF:    // NCHAR
        case 0xA7:    // BIGVARCHAR
        case 0xAF: {  // BIGCHAR
            const bool unicode = type == 0xE7 || type == 0xEF;
            const std::uint16_t max = r.U16();
            if (atLeast71) {
                r.Skip(5);
            }
            if (max == 0xFFFF) {
                // PLP: total length, then chunks up to a zero one.
                const auto total = r.Bytes(8);
                if (total.find_first_not_of('\xFF') == std::string_view::npos) {
                    break;
                }
                std::string bytes;
                while (true) {
                    const std::uint32_t chunk = r.U32();
                    if (chunk == 0) {
                        break;
                    }
                    bytes.append(r.Bytes(chunk));
                }
                text(bytes, unicode);
            } else {
                const std::uint16_t length = r.U16();
                if (length != 0xFFFF) {
                    text(r.Bytes(length), unicode);
                }
            }
            break;
        }
        case 0x63:    // NTEXT
        case 0x23: {  // TEXT
            r.U32();
            if (atLeast71) {
                r.Skip(5);
            }
            const std::uint32_t length = r.U32();
            if (length != 0xFFFFFFFF) {
                text(r.Bytes(length), type == 0x63);
            }
            break;
        }
        default:
            throw ProtocolError("unsupported parameter type " + std::to_string(type));
    }
    return p;
}

}  // namespace

std::string_view SqlBatchText(std::string_view body, std::uint32_t tdsVersion) {
    Reader r(body);
    SkipAllHeaders(r, body, tdsVersion);
    return r.Bytes(r.Remaining());
}

RpcRequest ParseRpc(std::string_view body, std::uint32_t tdsVersion) {
    Reader r(body);
    SkipAllHeaders(r, body, tdsVersion);
    RpcRequest request;
    const std::uint16_t nameLength = r.U16();
    if (nameLength == 0xFFFF) {
        request.procedure = r.U16();
        request.name = "sp_" + std::to_string(request.procedure);
    } else {
        request.name = Utf16ToAnsi(r.Bytes(std::size_t{nameLength} * 2));
        static const std::pair<const char*, int> kNames[] = {{"SP_EXECUTESQL", kSpExecuteSql},
                                                             {"SP_PREPARE", kSpPrepare},
                                                             {"SP_EXECUTE", kSpExecute},
                                                             {"SP_PREPEXEC", kSpPrepExec},
                                                             {"SP_UNPREPARE", kSpUnprepare}};
        for (const auto& [known, id] : kNames) {
            if (platform::AsciiUpperCase(request.name) == known) {
                request.procedure = id;
            }
        }
    }
    r.U16();  // option flags
    while (r.Remaining() > 0) {
        const auto next = r.U8();
        if (next == 0x80 || next == 0xFF) {
            break;
        }
        Reader rest(body.substr(r.Position() - 1));
        request.params.push_back(ReadParam(rest, tdsVersion));
        r.Skip(rest.Position() - 1);
    }
    return request;
}

}  // namespace emulator::tds
