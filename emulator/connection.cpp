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
        tds::CheckPrelogin(payload);
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

    bool Login(const std::string& payload) {
        tds::Login7 login = tds::ParseLogin7(payload);
        const std::uint32_t packetSize = login.packetSize;
        std::string& password = login.password;
        const std::string& user = login.user;
        const std::string& app = login.appName;
        const std::string& database = login.database;

        const std::uint32_t version = tds::NegotiateVersion(login.tdsVersion);
        if (version == 0) {
            throw ProtocolError("unsupported TDS version");
        }
        w_.SetVersion(version);
        session_.spid = ctx_.nextSpid++;
        if (session_.spid > 32000) {
            ctx_.nextSpid = 51;
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
        if (login.integratedSecurity) {
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

    void Batch(const std::string& payload) {
        const AnsiString text = tds::Utf16ToAnsi(tds::SqlBatchText(payload, w_.Version()));
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

    // The drivers' ways of running a statement: sp_executesql, and
    // sp_prepare / sp_execute / sp_prepexec / sp_unprepare with handles.
    void Rpc(const std::string& payload) {
        const tds::RpcRequest request = tds::ParseRpc(payload, w_.Version());
        const AnsiString& name = request.name;
        const int procedure = request.procedure;
        const std::vector<tds::RpcParam>& params = request.params;
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
            case tds::kSpExecuteSql:
                statement = textAt(0);
                break;
            case tds::kSpPrepare:
            case tds::kSpPrepExec:
                if (const auto text = textAt(2)) {
                    prepared_.push_back(*text);
                    handleOut = static_cast<std::int32_t>(prepared_.size());
                    if (procedure == tds::kSpPrepExec) {
                        statement = text;
                    }
                }
                break;
            case tds::kSpExecute:
                if (!params.empty() && !params[0].isNull && params[0].integer >= 1 &&
                    static_cast<std::size_t>(params[0].integer) <= prepared_.size()) {
                    statement = prepared_[static_cast<std::size_t>(params[0].integer) - 1];
                }
                break;
            case tds::kSpUnprepare:
                break;
            default:
                break;
        }
        const bool known = procedure == tds::kSpUnprepare || statement ||
                           (procedure == tds::kSpPrepare && handleOut);
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
