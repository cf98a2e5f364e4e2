#include "tests/emulator/tds_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/text.h"

namespace tdstest {
namespace {

// Long enough for any statement of the tests, short enough that a hung
// emulator fails the test rather than the whole run.
constexpr int kReadTimeoutMs = 120000;

void Put16(std::string& s, std::uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}
void Put32(std::string& s, std::uint32_t v) {
    Put16(s, static_cast<std::uint16_t>(v));
    Put16(s, static_cast<std::uint16_t>(v >> 16));
}

class In {
  public:
    explicit In(const std::string& b) : b_(b) {}
    std::uint64_t Get(int n) {
        Need(static_cast<std::size_t>(n));
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) {
            v = (v << 8) | static_cast<unsigned char>(b_[p_ + static_cast<std::size_t>(i)]);
        }
        p_ += static_cast<std::size_t>(n);
        return v;
    }
    std::string Bytes(std::size_t n) {
        Need(n);
        std::string s = b_.substr(p_, n);
        p_ += n;
        return s;
    }
    std::string BVarchar() { return Utf16ToUtf8(Bytes(Get(1) * 2)); }
    std::string UsVarchar() { return Utf16ToUtf8(Bytes(Get(2) * 2)); }
    bool End() const { return p_ >= b_.size(); }

  private:
    void Need(std::size_t n) const {
        if (n > b_.size() - p_) {
            throw std::runtime_error("response ends inside a token");
        }
    }
    const std::string& b_;
    std::size_t p_ = 0;
};

}  // namespace

bool Response::Attention() const {
    for (const auto s : doneStatus) {
        if (s & 0x20) {
            return true;
        }
    }
    return false;
}

std::vector<int> Response::Numbers() const {
    std::vector<int> n;
    for (const auto& m : messages) {
        n.push_back(m.number);
    }
    return n;
}

const ServerMessage* Response::Find(int number) const {
    for (const auto& m : messages) {
        if (m.number == number) {
            return &m;
        }
    }
    return nullptr;
}

std::string Utf8ToUtf16(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        char32_t u;
        int n;
        if (c < 0x80) {
            u = c;
            n = 1;
        } else if ((c >> 5) == 6 && i + 1 < s.size()) {
            u = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
            n = 2;
        } else if ((c >> 4) == 14 && i + 2 < s.size()) {
            u = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(s[i + 2]) & 0x3Fu);
            n = 3;
        } else if (i + 3 < s.size()) {
            u = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(s[i + 1]) & 0x3Fu) << 12) |
                ((static_cast<unsigned char>(s[i + 2]) & 0x3Fu) << 6) |
                (static_cast<unsigned char>(s[i + 3]) & 0x3Fu);
            n = 4;
        } else {
            u = U'?';
            n = 1;
        }
        i += static_cast<std::size_t>(n);
        if (u >= 0x10000) {
            u -= 0x10000;
            Put16(out, static_cast<std::uint16_t>(0xD800 + (u >> 10)));
            Put16(out, static_cast<std::uint16_t>(0xDC00 + (u & 0x3FF)));
        } else {
            Put16(out, static_cast<std::uint16_t>(u));
        }
    }
    return out;
}

std::string Utf16ToUtf8(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
        char32_t u = static_cast<unsigned char>(s[i]) | (static_cast<unsigned char>(s[i + 1]) << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < s.size()) {
            const char32_t lo =
                static_cast<unsigned char>(s[i + 2]) | (static_cast<unsigned char>(s[i + 3]) << 8);
            u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        }
        platform::AppendUtf8(out, u);
    }
    return out;
}

std::string ScramblePassword(const std::string& utf16) {
    std::string out = utf16;
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        c = static_cast<char>((((b << 4) | (b >> 4)) & 0xFF) ^ 0xA5);
    }
    return out;
}

std::string Login7Payload(const LoginRequest& r) {
    const bool v72 = (r.version >> 24) >= 0x72;
    const std::size_t fixed = v72 ? 94 : 86;
    const std::vector<std::string> fields = {Utf8ToUtf16("testhost"),
                                             Utf8ToUtf16(r.user),
                                             ScramblePassword(Utf8ToUtf16(r.password)),
                                             Utf8ToUtf16("tds-test"),
                                             Utf8ToUtf16("127.0.0.1"),
                                             std::string(),
                                             Utf8ToUtf16("tdstest"),
                                             Utf8ToUtf16(""),
                                             Utf8ToUtf16(r.database)};
    std::string data;
    std::string offsets;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        Put16(offsets, static_cast<std::uint16_t>(fixed + data.size()));
        Put16(offsets,
              static_cast<std::uint16_t>(i == 5 ? fields[i].size() : fields[i].size() / 2));
        data += fields[i];
    }
    std::string p;
    Put32(p, 0);  // length, patched below
    Put32(p, r.version);
    Put32(p, r.packetSize);
    Put32(p, 7);
    Put32(p, static_cast<std::uint32_t>(getpid()));
    Put32(p, 0);
    p.push_back(static_cast<char>(0xE0));
    p.push_back(0x03);
    p.push_back(0);
    p.push_back(0);
    Put32(p, 0);
    Put32(p, 0x0409);
    p += offsets;
    p += std::string(6, '\0');  // client id
    Put16(p, static_cast<std::uint16_t>(fixed + data.size()));
    Put16(p, 0);  // SSPI
    Put16(p, static_cast<std::uint16_t>(fixed + data.size()));
    Put16(p, 0);  // attach file
    if (v72) {
        Put16(p, static_cast<std::uint16_t>(fixed + data.size()));
        Put16(p, 0);  // change password
        Put32(p, 0);  // long SSPI
    }
    if (p.size() != fixed) {
        throw std::logic_error("LOGIN7 fixed part miscounted");
    }
    p += data;
    const auto n = static_cast<std::uint32_t>(p.size());
    std::memcpy(p.data(), &n, 4);
    return p;
}

Client::Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("cannot connect to the emulator: " +
                                 std::string(std::strerror(errno)));
    }
}

Client::~Client() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Client::SendRaw(const std::string& bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + pos, bytes.size() - pos, MSG_NOSIGNAL);
        if (n <= 0) {
            return;  // the server may already have closed: the test reads that next
        }
        pos += static_cast<std::size_t>(n);
    }
}

void Client::SendPacket(std::uint8_t type, std::uint8_t status, const std::string& payload) {
    std::string p;
    p.push_back(static_cast<char>(type));
    p.push_back(static_cast<char>(status));
    const auto length = static_cast<std::uint16_t>(payload.size() + 8);
    p.push_back(static_cast<char>(length >> 8));
    p.push_back(static_cast<char>(length & 0xFF));
    p += std::string("\0\0\1\0", 4);
    SendRaw(p + payload);
}

void Client::SendMessage(std::uint8_t type, const std::string& payload, std::size_t packetSize) {
    const std::size_t chunk = packetSize - 8;
    std::size_t pos = 0;
    do {
        const std::size_t n = std::min(chunk, payload.size() - pos);
        SendPacket(type, pos + n >= payload.size() ? 1 : 0, payload.substr(pos, n));
        pos += n;
    } while (pos < payload.size());
}

bool Client::ReadExact(char* out, std::size_t n) {
    while (n > 0) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, kReadTimeoutMs) <= 0) {
            throw std::runtime_error("the emulator did not answer in time");
        }
        const ssize_t got = recv(fd_, out, n, 0);
        if (got <= 0) {
            return false;
        }
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<std::string> Client::ReadMessage() {
    std::string payload;
    while (true) {
        char h[8];
        if (!ReadExact(h, 8)) {
            return std::nullopt;
        }
        const std::size_t length =
            (static_cast<std::size_t>(static_cast<unsigned char>(h[2])) << 8) |
            static_cast<unsigned char>(h[3]);
        if (h[0] != 0x04 || length < 8 || length > packetSize_) {
            throw std::runtime_error("bad response packet header");
        }
        std::string body(length - 8, '\0');
        if (!ReadExact(body.data(), body.size())) {
            return std::nullopt;
        }
        payload += body;
        if (h[1] & 1) {
            return payload;
        }
    }
}

bool Client::ServerCloses() {
    char buf[4096];
    while (true) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, kReadTimeoutMs) <= 0) {
            return false;
        }
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            return true;
        }
    }
}

Response Client::Login(const LoginRequest& request) {
    version_ = request.version;
    // PRELOGIN: VERSION, ENCRYPTION off, INSTOPT, THREADID, MARS
    std::string pre = {0x00, 0x00,
                       0x1A, 0x00,
                       0x06, 0x01,
                       0x00, 0x20,
                       0x00, 0x01,
                       0x02, 0x00,
                       0x21, 0x00,
                       0x01, 0x03,
                       0x00, 0x22,
                       0x00, 0x04,
                       0x04, 0x00,
                       0x26, 0x00,
                       0x01, static_cast<char>(0xFF)};
    pre += std::string("\x0B\x00\x0C\x38\x00\x00", 6);
    pre.push_back(0x00);
    pre.push_back(0x00);
    pre += std::string(4, '\0');
    pre.push_back(0x00);
    SendMessage(0x12, pre, 4096);
    const auto preReply = ReadMessage();
    if (!preReply) {
        throw std::runtime_error("no PRELOGIN answer");
    }
    SendMessage(0x10, Login7Payload(request), 4096);
    const auto reply = ReadMessage();
    if (!reply) {
        throw std::runtime_error("no LOGIN7 answer");
    }
    Response r = Parse(*reply);
    loggedIn_ = r.loginAckVersion.has_value();
    if (r.packetSize) {
        packetSize_ = std::stoul(*r.packetSize);
    }
    return r;
}

void Client::SendBatch(const std::string& sql) {
    std::string payload;
    if ((version_ >> 24) >= 0x72) {
        Put32(payload, 22);  // ALL_HEADERS with the transaction descriptor
        Put32(payload, 18);
        Put16(payload, 2);
        payload += std::string(8, '\0');
        Put32(payload, 1);
    }
    payload += Utf8ToUtf16(sql);
    SendMessage(0x01, payload, packetSize_);
}

Response Client::Batch(const std::string& sql, std::size_t packetSize) {
    const std::size_t saved = packetSize_;
    if (packetSize != 0) {
        packetSize_ = packetSize;
    }
    SendBatch(sql);
    packetSize_ = saved;
    return ReadResponse();
}

void Client::SendAttention() {
    SendPacket(0x06, 1, "");
}

Response Client::ReadResponse() {
    const auto m = ReadMessage();
    if (!m) {
        throw std::runtime_error("the emulator closed the connection");
    }
    return Parse(*m);
}

Response Client::Parse(const std::string& payload) const {
    Response r;
    In in(payload);
    const bool v72 = (version_ >> 24) >= 0x72;
    std::vector<std::uint8_t> types;
    while (!in.End()) {
        const auto token = static_cast<std::uint8_t>(in.Get(1));
        switch (token) {
            case 0xAA:
            case 0xAB: {
                const auto length = in.Get(2);
                const std::string body = in.Bytes(length);
                In b(body);
                ServerMessage m;
                m.number = static_cast<int>(b.Get(4));
                m.state = static_cast<int>(b.Get(1));
                m.severity = static_cast<int>(b.Get(1));
                m.text = b.UsVarchar();
                m.server = b.BVarchar();
                b.BVarchar();
                m.line = static_cast<int>(b.Get(v72 ? 4 : 2));
                r.messages.push_back(m);
                break;
            }
            case 0xE3: {
                const std::string body = in.Bytes(in.Get(2));
                In b(body);
                const auto type = b.Get(1);
                if (type == 1) {
                    r.databaseChanges.push_back(b.BVarchar());
                } else if (type == 4) {
                    r.packetSize = b.BVarchar();
                }
                break;
            }
            case 0xAD: {
                const std::string body = in.Bytes(in.Get(2));
                In b(body);
                b.Get(1);
                std::uint32_t v = 0;
                for (int i = 0; i < 4; ++i) {
                    v = (v << 8) | static_cast<std::uint32_t>(b.Get(1));
                }
                r.loginAckVersion = v;
                break;
            }
            case 0xFD:
            case 0xFE:
            case 0xFF: {
                const auto status = static_cast<std::uint16_t>(in.Get(2));
                in.Get(2);
                in.Get(v72 ? 8 : 4);
                if (token != 0xFF) {
                    r.doneStatus.push_back(status);
                }
                break;
            }
            case 0x79:
                in.Get(4);
                break;
            case 0xAC: {
                in.Get(2);
                in.BVarchar();
                in.Get(1);
                in.Get(v72 ? 4 : 2);
                in.Get(2);
                in.Get(1);
                in.Get(1);
                const auto length = in.Get(1);
                r.returnValue = static_cast<std::int32_t>(in.Get(static_cast<int>(length)));
                break;
            }
            case 0x81: {
                const auto count = in.Get(2);
                types.clear();
                r.columns.clear();
                for (std::uint64_t i = 0; i < count; ++i) {
                    in.Get(v72 ? 4 : 2);
                    in.Get(2);
                    const auto type = static_cast<std::uint8_t>(in.Get(1));
                    if (type == 0xE7) {
                        in.Get(2);
                        if ((version_ >> 24) >= 0x71) {
                            in.Bytes(5);
                        }
                    } else if (type == 0x26) {
                        in.Get(1);
                    } else {
                        throw std::runtime_error("unexpected column type");
                    }
                    types.push_back(type);
                    r.columns.push_back(in.BVarchar());
                }
                break;
            }
            case 0xD1: {
                std::vector<std::optional<std::string>> row;
                for (const auto type : types) {
                    if (type == 0xE7) {
                        const auto length = in.Get(2);
                        if (length == 0xFFFF) {
                            row.emplace_back();
                        } else {
                            row.emplace_back(Utf16ToUtf8(in.Bytes(length)));
                        }
                    } else {
                        const auto length = in.Get(1);
                        if (length == 0) {
                            row.emplace_back();
                        } else {
                            const auto v = in.Get(static_cast<int>(length));
                            row.emplace_back(length == 4
                                                 ? std::to_string(static_cast<std::int32_t>(v))
                                                 : std::to_string(static_cast<std::int64_t>(v)));
                        }
                    }
                }
                r.rows.push_back(row);
                break;
            }
            default:
                throw std::runtime_error("unexpected token " + std::to_string(token));
        }
    }
    return r;
}

}  // namespace tdstest
