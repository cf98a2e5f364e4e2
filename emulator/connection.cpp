#include "emulator/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>

#include "emulator/tds.h"

namespace emulator {
namespace {

using Clock = std::chrono::steady_clock;
using tds::ProtocolError;

// Before a login completes, a message is small and must come soon.
constexpr std::size_t kLoginMessageLimit = 128 * 1024;
constexpr auto kLoginTimeout = std::chrono::seconds(30);
// A batch's text: far above any real statement of ours, far below harm.
constexpr std::size_t kBatchMessageLimit = 64 * 1024 * 1024;
constexpr std::size_t kMaxIncomingPacket = 32768;

struct ConnectionLost {};

std::mutex logMutex;

class Connection : public Output {
  public:
    Connection(int fd, ServerContext& ctx) : fd_(fd), ctx_(ctx), w_(tds::kTds74) {}

    void Run() {
        try {
            RunProtocol();
        } catch (const ProtocolError& e) {
            Log(std::string("connection closed: ") + e.what());
        } catch (const ConnectionLost&) {
        }
        ctx_.engine.CloseSession(session_);
    }

    // ---- Output ----------------------------------------------------------
    void Message(std::int32_t number, std::uint8_t state, std::uint8_t severity,
                 const AnsiString& text, std::int32_t line) override {
        w_.Message(number, state, severity, text, ctx_.engine.Options().serverName, line);
    }

    void Columns(const std::vector<Column>& columns) override {
        columns_ = columns;
        w_.U8(0x81);
        w_.U16(static_cast<std::uint16_t>(columns.size()));
        for (const auto& c : columns) {
            if (w_.AtLeast72()) {
                w_.U32(0);
            } else {
                w_.U16(0);
            }
            w_.U16(0x0001);  // nullable
            if (c.type == Column::Type::Text) {
                w_.U8(0xE7);  // NVARCHAR
                w_.U16(8000);
                if (w_.AtLeast71()) {
                    w_.Raw(tds::kLatin1GeneralCiAs);
                }
            } else {
                w_.U8(0x26);  // INTN
                w_.U8(c.type == Column::Type::Int ? 4 : 8);
            }
            w_.BVarchar(c.name);
        }
    }

    void Row(const std::vector<Value>& values) override {
        w_.U8(0xD1);
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            const Value& v = i < values.size() ? values[i] : Value{};
            if (columns_[i].type == Column::Type::Text) {
                if (const auto* s = std::get_if<AnsiString>(&v)) {
                    const std::string u = tds::AnsiToUtf16(s->substr(0, 4000));
                    w_.U16(static_cast<std::uint16_t>(u.size()));
                    w_.Raw(u);
                } else {
                    w_.U16(0xFFFF);
                }
            } else if (const auto* n = std::get_if<std::int64_t>(&v)) {
                if (columns_[i].type == Column::Type::Int) {
                    w_.U8(4);
                    w_.U32(static_cast<std::uint32_t>(*n));
                } else {
                    w_.U8(8);
                    w_.U64(static_cast<std::uint64_t>(*n));
                }
            } else {
                w_.U8(0);
            }
        }
    }

    void Done(std::uint16_t status, std::uint16_t curCmd, std::uint64_t rowCount) override {
        if (inProcedure_) {
            procedureFailed_ = procedureFailed_ || (status & tds::kDoneError) != 0;
            w_.Done(static_cast<std::uint16_t>(status | tds::kDoneMore), curCmd, rowCount, 0xFF);
        } else {
            w_.Done(status, curCmd, rowCount);
        }
    }

    void DatabaseChanged(const AnsiString& newName, const AnsiString& oldName) override {
        w_.EnvChange(1, newName, oldName);
    }

    void Flush() override { Send(false); }

    bool Cancelled() override {
        if (attention_ || lost_ || ctx_.stopping) {
            return true;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) {
            return false;
        }
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            lost_ = true;
            return true;
        }
        unsigned char h[tds::kHeaderSize];
        const ssize_t n = recv(fd_, h, sizeof h, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            lost_ = true;
            return true;
        }
        if (n < static_cast<ssize_t>(sizeof h)) {
            return false;
        }
        if (h[0] != tds::kAttention) {
            // Nothing but an attention may arrive while a batch runs.
            lost_ = true;
            return true;
        }
        const auto message = ReadMessage(64, Clock::now() + std::chrono::seconds(5));
        if (!message) {
            lost_ = true;
            return true;
        }
        attention_ = true;
        return true;
    }

  private:
    void Log(const std::string& line) {
        if (ctx_.verbose) {
            std::lock_guard lock(logMutex);
            std::cerr << "mssql-emulator: [" << session_.spid << "] " << line << std::endl;
        }
    }

    // Reads exactly n bytes; false when the peer left, the deadline passed or
    // the server stops.
    bool ReadExact(unsigned char* out, std::size_t n, std::optional<Clock::time_point> deadline) {
        while (n > 0) {
            if (ctx_.stopping) {
                return false;
            }
            int timeout = 250;
            if (deadline) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now())
                        .count();
                if (left <= 0) {
                    return false;
                }
                timeout = static_cast<int>(std::min<long long>(left, 250));
            }
            pollfd p{fd_, POLLIN, 0};
            const int ready = poll(&p, 1, timeout);
            if (ready < 0 && errno != EINTR) {
                return false;
            }
            if (ready <= 0) {
                continue;
            }
            const ssize_t got = recv(fd_, out, n, 0);
            if (got == 0) {
                return false;
            }
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                return false;
            }
            out += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

    struct Incoming {
        std::uint8_t type;
        std::string payload;
    };

    // One message: its packets up to the one marked end-of-message.
    std::optional<Incoming> ReadMessage(std::size_t limit,
                                        std::optional<Clock::time_point> deadline) {
        Incoming m{0, {}};
        bool first = true;
        while (true) {
            unsigned char h[tds::kHeaderSize];
            if (!ReadExact(h, sizeof h, deadline)) {
                return std::nullopt;
            }
            const std::size_t length = (std::size_t{h[2]} << 8) | h[3];
            if (length < tds::kHeaderSize || length > kMaxIncomingPacket) {
                throw ProtocolError("bad packet length " + std::to_string(length));
            }
            if (!first && h[0] != m.type) {
                throw ProtocolError("packet type changes inside a message");
            }
            m.type = h[0];
            first = false;
            const std::size_t body = length - tds::kHeaderSize;
            if (m.payload.size() + body > limit) {
                throw ProtocolError("message too large");
            }
            const std::size_t at = m.payload.size();
            m.payload.resize(at + body);
            if (!ReadExact(reinterpret_cast<unsigned char*>(m.payload.data() + at), body,
                           deadline)) {
                return std::nullopt;
            }
            if (h[1] & tds::kStatusEom) {
                return m;
            }
        }
    }

    // Sends the tokens produced so far, in packets of the negotiated size; the
    // last is marked end-of-message when `final`.
    void Send(bool final) {
        std::string& data = w_.Bytes();
        if (data.empty() && !final) {
            return;
        }
        const std::size_t chunk = packetSize_ - tds::kHeaderSize;
        std::size_t pos = 0;
        do {
            const std::size_t n = std::min(chunk, data.size() - pos);
            const bool last = pos + n >= data.size();
            std::string packet(tds::kHeaderSize, '\0');
            packet[0] = static_cast<char>(tds::kTabularResult);
            packet[1] = static_cast<char>(last && final ? tds::kStatusEom : 0);
            packet[2] = static_cast<char>((n + tds::kHeaderSize) >> 8);
            packet[3] = static_cast<char>((n + tds::kHeaderSize) & 0xFF);
            packet[4] = static_cast<char>(session_.spid >> 8);
            packet[5] = static_cast<char>(session_.spid & 0xFF);
            packet[6] = static_cast<char>(packetId_++);
            packet.append(data, pos, n);
            WriteAll(packet);
            pos += n;
        } while (pos < data.size());
        data.clear();
    }

    void WriteAll(const std::string& bytes) {
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const ssize_t n = send(fd_, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN) {
                    pollfd p{fd_, POLLOUT, 0};
                    poll(&p, 1, 250);
                    if (ctx_.stopping) {
                        throw ConnectionLost{};
                    }
                    continue;
                }
                lost_ = true;
                throw ConnectionLost{};
            }
            pos += static_cast<std::size_t>(n);
        }
    }

    void RunProtocol() {
        const auto loginDeadline = Clock::now() + kLoginTimeout;
        bool preloginDone = false;
        while (!loggedIn_) {
            auto m = ReadMessage(kLoginMessageLimit, loginDeadline);
            if (!m) {
                return;
            }
            if (m->type == tds::kPrelogin && !preloginDone) {
                Prelogin(m->payload);
                preloginDone = true;
            } else if (m->type == tds::kLogin7) {
                if (!Login(m->payload)) {
                    return;
                }
            } else {
                throw ProtocolError("unexpected message type " + std::to_string(m->type) +
                                    " before login");
            }
        }
        while (true) {
            auto m = ReadMessage(kBatchMessageLimit, std::nullopt);
            if (!m) {
                return;
            }
            switch (m->type) {
                case tds::kSqlBatch:
                    Batch(m->payload);
                    break;
                case tds::kAttention:
                    w_.Done(tds::kDoneAttn, 0, 0);
                    Send(true);
                    break;
                case tds::kRpc:
                    Rpc(m->payload);
                    break;
                case tds::kTransactionManager:
                    w_.Done(tds::kDoneFinal, 0, 0);
                    Send(true);
                    break;
                default:
                    throw ProtocolError("unexpected message type " + std::to_string(m->type));
            }
        }
    }

    void Prelogin(const std::string& payload) {
        // The option table must hold together; its values matter little.
        tds::Reader r(payload);
        while (true) {
            const std::uint8_t token = r.U8();
            if (token == 0xFF) {
                break;
            }
            const auto b = r.Bytes(4);
            const std::size_t offset = (std::size_t{static_cast<unsigned char>(b[0])} << 8) |
                                       static_cast<unsigned char>(b[1]);
            const std::size_t length = (std::size_t{static_cast<unsigned char>(b[2])} << 8) |
                                       static_cast<unsigned char>(b[3]);
            if (offset + length > payload.size()) {
                throw ProtocolError("prelogin option out of bounds");
            }
        }
        // VERSION 16.0.1000, ENCRYPTION not supported, INSTOPT, THREADID, MARS off.
        const unsigned char reply[] = {0x00, 0x00, 26,   0x00, 6,  //
                                       0x01, 0x00, 32,   0x00, 1,  //
                                       0x02, 0x00, 33,   0x00, 1,  //
                                       0x03, 0x00, 34,   0x00, 0,  //
                                       0x04, 0x00, 34,   0x00, 1,  //
                                       0xFF,                       //
                                       0x10, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x02, 0x00, 0x00};
        w_.Raw(std::string_view(reinterpret_cast<const char*>(reply), sizeof reply));
        Send(true);
    }

    static std::string Field(const std::string& payload, tds::Reader& fixed, bool bytes = false) {
        const std::size_t offset = fixed.U16();
        const std::size_t count = fixed.U16();
        const std::size_t size = bytes ? count : count * 2;
        if (offset + size > payload.size()) {
            throw ProtocolError("login field out of bounds");
        }
        return payload.substr(offset, size);
    }

    bool Login(const std::string& payload) {
        tds::Reader r(payload);
        const std::uint32_t length = r.U32();
        const std::uint32_t clientVersion = r.U32();
        const std::uint32_t packetSize = r.U32();
        r.Skip(12);  // client program version, process id, connection id
        r.Skip(1);
        const std::uint8_t flags2 = r.U8();
        r.Skip(2 + 4 + 4);  // type flags, flags 3, time zone, LCID
        if (length > payload.size() || length < 86) {
            throw ProtocolError("bad login length");
        }
        Field(payload, r);  // host name
        const std::string user = Field(payload, r);
        std::string password = Field(payload, r);
        const std::string app = Field(payload, r);
        Field(payload, r);        // server name
        Field(payload, r, true);  // extension
        Field(payload, r);        // client library
        Field(payload, r);        // language
        const std::string database = Field(payload, r);

        const std::uint32_t version = tds::NegotiateVersion(clientVersion);
        if (version == 0) {
            throw ProtocolError("unsupported TDS version");
        }
        w_.SetVersion(version);
        session_.spid = ctx_.nextSpid++;
        if (session_.spid > 32000) {
            ctx_.nextSpid = 51;
        }
        for (char& c : password) {
            auto b = static_cast<unsigned char>(c) ^ 0xA5;
            c = static_cast<char>(((b << 4) | (b >> 4)) & 0xFF);
        }
        const AnsiString userName = tds::Utf16ToAnsi(user);
        const bool passwordOk = tds::Utf16ToUtf8(password) == ctx_.saPassword;
        std::fill(password.begin(), password.end(), '\0');
        Log("login of '" + platform::AnsiToUtf8(userName) + "' from '" +
            platform::AnsiToUtf8(tds::Utf16ToAnsi(app)) + "', TDS " +
            std::to_string(version >> 24 & 0xFF));

        const AnsiString server = ctx_.engine.Options().serverName;
        auto refuse = [&](bool unknownDatabase, const AnsiString& dbName) {
            if (unknownDatabase) {
                w_.Message(4060, 1, 11,
                           "Cannot open database \"" + dbName +
                               "\" requested by the login. The login failed.",
                           server, 1);
            }
            w_.Message(18456, 1, 14, "Login failed for user '" + userName + "'.", server, 1);
            w_.Done(tds::kDoneError, 0, 0);
            Send(true);
            return false;
        };
        if (flags2 & 0x80) {
            w_.Message(
                18452, 1, 14,
                "Login failed. The login is from an untrusted domain and cannot be used with "
                "Integrated authentication.",
                server, 1);
            w_.Done(tds::kDoneError, 0, 0);
            Send(true);
            return false;
        }
        if (platform::AsciiUpperCase(userName) != "SA" || !passwordOk) {
            return refuse(false, "");
        }
        const AnsiString requested = tds::Utf16ToAnsi(database);
        if (!ctx_.engine.OpenSession(session_, requested)) {
            return refuse(true, requested);
        }
        session_.user = userName;

        if (packetSize != 0) {
            packetSize_ =
                std::clamp<std::size_t>(packetSize, tds::kMinPacketSize, tds::kMaxPacketSize);
        }
        w_.EnvChange(1, session_.database, "master");
        w_.Message(5701, 2, 0, "Changed database context to '" + session_.database + "'.", server,
                   1);
        if (w_.AtLeast71()) {
            w_.EnvChangeCollation(tds::kLatin1GeneralCiAs);
        }
        w_.EnvChange(2, "us_english", "");
        w_.Message(5703, 1, 0, "Changed language setting to us_english.", server, 1);
        w_.LoginAck("Microsoft SQL Server", 0x100003E8);
        w_.EnvChange(4, std::to_string(packetSize_), std::to_string(tds::kDefaultPacketSize));
        w_.Done(tds::kDoneFinal, 0, 0);
        // The reply still goes in packets of the size the client started with.
        const std::size_t negotiated = packetSize_;
        packetSize_ = tds::kDefaultPacketSize;
        Send(true);
        packetSize_ = negotiated;
        loggedIn_ = true;
        return true;
    }

    // ALL_HEADERS, from TDS 7.2 on.
    void SkipHeaders(tds::Reader& r, const std::string& payload) {
        if (!w_.AtLeast72()) {
            return;
        }
        const std::uint32_t total = r.U32();
        if (total < 4 || total > payload.size()) {
            throw ProtocolError("bad ALL_HEADERS length");
        }
        r.Skip(total - 4);
    }

    void Batch(const std::string& payload) {
        tds::Reader r(payload);
        SkipHeaders(r, payload);
        const AnsiString text = tds::Utf16ToAnsi(r.Bytes(r.Remaining()));
        Log("batch: " + platform::AnsiToUtf8(text.substr(0, 2000)));
        attention_ = false;
        const bool completed = ctx_.engine.ExecuteBatch(session_, text, *this);
        if (lost_ || ctx_.stopping) {
            throw ConnectionLost{};
        }
        if (!completed) {
            w_.Bytes().clear();
        } else {
            Send(true);
        }
        if (!completed || attention_) {
            w_.Done(tds::kDoneAttn, 0, 0);
            Send(true);
            attention_ = false;
        }
    }

    // One parameter of an RPC request, for the types the drivers use to pass
    // statement texts and handles.
    struct Param {
        AnsiString name;
        bool isNull = true;
        AnsiString text;
        std::int64_t integer = 0;
    };

    Param ReadParam(tds::Reader& r) {
        Param p;
        p.name = tds::Utf16ToAnsi(r.Bytes(std::size_t{r.U8()} * 2));
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
            p.text = unicode ? tds::Utf16ToAnsi(bytes) : AnsiString(bytes);
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
                if (w_.AtLeast71()) {
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
                if (w_.AtLeast71()) {
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

    // The drivers' ways of running a statement: sp_executesql, and
    // sp_prepare / sp_execute / sp_prepexec / sp_unprepare with handles.
    void Rpc(const std::string& payload) {
        tds::Reader r(payload);
        SkipHeaders(r, payload);
        const std::uint16_t nameLength = r.U16();
        int procedure = 0;
        AnsiString name;
        if (nameLength == 0xFFFF) {
            procedure = r.U16();
            name = "sp_" + std::to_string(procedure);
        } else {
            name = tds::Utf16ToAnsi(r.Bytes(std::size_t{nameLength} * 2));
            static const std::pair<const char*, int> kNames[] = {{"SP_EXECUTESQL", 10},
                                                                 {"SP_PREPARE", 11},
                                                                 {"SP_EXECUTE", 12},
                                                                 {"SP_PREPEXEC", 13},
                                                                 {"SP_UNPREPARE", 15}};
            for (const auto& [known, id] : kNames) {
                if (platform::AsciiUpperCase(name) == known) {
                    procedure = id;
                }
            }
        }
        r.U16();  // option flags
        std::vector<Param> params;
        while (r.Remaining() > 0) {
            const auto next = r.U8();
            if (next == 0x80 || next == 0xFF) {
                break;  // a further request of a batch of RPCs: not used by the drivers
            }
            tds::Reader rest(std::string_view(payload).substr(r.Position() - 1));
            params.push_back(ReadParam(rest));
            r.Skip(rest.Position() - 1);
        }
        Log("rpc " + platform::AnsiToUtf8(name));
        auto textAt = [&](std::size_t i) -> std::optional<AnsiString> {
            if (i < params.size() && !params[i].isNull) {
                return params[i].text;
            }
            return std::nullopt;
        };
        std::optional<AnsiString> statement;
        std::optional<std::int32_t> handleOut;
        switch (procedure) {
            case 10:
                statement = textAt(0);
                break;
            case 11:
            case 13:
                if (const auto text = textAt(2)) {
                    prepared_.push_back(*text);
                    handleOut = static_cast<std::int32_t>(prepared_.size());
                    if (procedure == 13) {
                        statement = text;
                    }
                }
                break;
            case 12:
                if (!params.empty() && !params[0].isNull && params[0].integer >= 1 &&
                    static_cast<std::size_t>(params[0].integer) <= prepared_.size()) {
                    statement = prepared_[static_cast<std::size_t>(params[0].integer) - 1];
                }
                break;
            case 15:
                break;
            default:
                break;
        }
        const bool known = procedure == 15 || statement || (procedure == 11 && handleOut);
        if (!known) {
            w_.Message(2812, 62, 16, "Could not find stored procedure '" + name + "'.",
                       ctx_.engine.Options().serverName, 1);
            w_.Done(tds::kDoneError, 0, 0, 0xFE);
            Send(true);
            return;
        }
        bool completed = true;
        procedureFailed_ = false;
        if (statement) {
            Log("statement: " + platform::AnsiToUtf8(statement->substr(0, 2000)));
            attention_ = false;
            inProcedure_ = true;
            completed = ctx_.engine.ExecuteBatch(session_, *statement, *this);
            inProcedure_ = false;
        }
        if (lost_ || ctx_.stopping) {
            throw ConnectionLost{};
        }
        if (completed) {
            w_.ReturnStatus(procedureFailed_ ? 1 : 0);
            if (handleOut) {
                w_.ReturnIntValue(0, params[0].name, *handleOut);
            }
            w_.Done(procedureFailed_ ? tds::kDoneError : tds::kDoneFinal, 0, 0, 0xFE);
            Send(true);
        } else {
            w_.Bytes().clear();
        }
        if (!completed || attention_) {
            w_.Done(tds::kDoneAttn, 0, 0);
            Send(true);
            attention_ = false;
        }
    }

    int fd_;
    ServerContext& ctx_;
    Session session_;
    tds::TokenWriter w_;
    std::size_t packetSize_ = tds::kDefaultPacketSize;
    std::uint8_t packetId_ = 1;
    bool loggedIn_ = false;
    bool attention_ = false;
    bool lost_ = false;
    bool inProcedure_ = false;
    bool procedureFailed_ = false;
    std::vector<Column> columns_;
    std::vector<AnsiString> prepared_;  // sp_prepare handles, 1-based
};

}  // namespace

void ServeConnection(int fd, ServerContext& context) {
    Connection(fd, context).Run();
}

}  // namespace emulator
