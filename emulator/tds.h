// The TDS wire format as the emulator speaks it: packet framing, UTF-16
// texts and the tokens of a server response.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace emulator::tds {

using platform::AnsiString;

// Packet types.
constexpr std::uint8_t kSqlBatch = 0x01;
constexpr std::uint8_t kPreTds7Login = 0x02;
constexpr std::uint8_t kRpc = 0x03;
constexpr std::uint8_t kTabularResult = 0x04;
constexpr std::uint8_t kAttention = 0x06;
constexpr std::uint8_t kBulkLoad = 0x07;
constexpr std::uint8_t kTransactionManager = 0x0E;
constexpr std::uint8_t kLogin7 = 0x10;
constexpr std::uint8_t kSspi = 0x11;
constexpr std::uint8_t kPrelogin = 0x12;

constexpr std::uint8_t kStatusEom = 0x01;
constexpr std::size_t kHeaderSize = 8;
// The largest packet size a client may negotiate, and so the largest packet.
constexpr std::size_t kMaxPacketSize = 32767;
constexpr std::size_t kMinPacketSize = 512;
constexpr std::size_t kDefaultPacketSize = 4096;

// TDS versions as LOGIN7 carries them (little-endian on the wire).
constexpr std::uint32_t kTds70 = 0x70000000;
constexpr std::uint32_t kTds71 = 0x71000001;
constexpr std::uint32_t kTds72 = 0x72090002;
constexpr std::uint32_t kTds73 = 0x730B0003;
constexpr std::uint32_t kTds74 = 0x74000004;

// DONE status bits.
constexpr std::uint16_t kDoneFinal = 0x0000;
constexpr std::uint16_t kDoneMore = 0x0001;
constexpr std::uint16_t kDoneError = 0x0002;
constexpr std::uint16_t kDoneCount = 0x0010;
constexpr std::uint16_t kDoneAttn = 0x0020;

// A message the peer sent that breaks the protocol: the connection ends.
struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Windows-1252 text and UTF-16LE bytes. Characters outside Windows-1252
// become '?'; a lone surrogate too.
std::string AnsiToUtf16(std::string_view ansi);
AnsiString Utf16ToAnsi(std::string_view utf16le);
// UTF-16LE to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view utf16le);

// Little-endian readers over a byte view, bounds-checked (ProtocolError).
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();
    std::string_view Bytes(std::size_t n);
    void Skip(std::size_t n) { Bytes(n); }
    std::size_t Position() const { return pos_; }
    std::size_t Remaining() const { return bytes_.size() - pos_; }

  private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// A server response under construction, in tokens.
class TokenWriter {
  public:
    explicit TokenWriter(std::uint32_t tdsVersion) : version_(tdsVersion) {}

    void SetVersion(std::uint32_t tdsVersion) { version_ = tdsVersion; }
    std::uint32_t Version() const { return version_; }
    bool AtLeast72() const { return (version_ >> 24) >= 0x72; }
    bool AtLeast71() const { return (version_ >> 24) >= 0x71; }

    void U8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void U64(std::uint64_t v);
    void Raw(std::string_view bytes) { out_.append(bytes); }
    // Length in characters (one byte or two), then UTF-16LE.
    void BVarchar(std::string_view ansi);
    void UsVarchar(std::string_view ansi);

    // ERROR (severity above 10) or INFO token.
    void Message(std::int32_t number, std::uint8_t state, std::uint8_t severity,
                 std::string_view text, std::string_view server, std::int32_t line);
    void EnvChange(std::uint8_t type, std::string_view newValue, std::string_view oldValue);
    void EnvChangeCollation(std::string_view collation);
    void LoginAck(std::string_view programName, std::uint32_t programVersion);
    // DONE (0xFD), DONEPROC (0xFE) or DONEINPROC (0xFF).
    void Done(std::uint16_t status, std::uint16_t curCmd, std::uint64_t rowCount,
              std::uint8_t token = 0xFD);
    void ReturnStatus(std::int32_t value);
    // An output parameter of type int.
    void ReturnIntValue(std::uint16_t ordinal, std::string_view name, std::int32_t value);

    std::string& Bytes() { return out_; }

  private:
    std::uint32_t version_;
    std::string out_;
};

// The collation Latin1_General_CI_AS: LCID 0x0409, case- kana- and
// width-insensitive, Windows sort (code page 1252).
inline constexpr std::string_view kLatin1GeneralCiAs{"\x09\x04\xD0\x00\x00", 5};

// The versions of a LOGIN7 message the emulator answers: the highest it
// knows at or below the client's, or 0 when it speaks none of them.
std::uint32_t NegotiateVersion(std::uint32_t clientVersion);

// The bodies of the client's messages (packets already joined), read without
// a socket. Each throws ProtocolError for a body that does not hold together.

// PRELOGIN: the option table must hold together; its values matter little.
void CheckPrelogin(std::string_view body);

struct Login7 {
    std::uint32_t tdsVersion = 0;  // as the client asks
    std::uint32_t packetSize = 0;  // 0: the default
    bool integratedSecurity = false;
    std::string user;      // UTF-16LE
    std::string password;  // UTF-16LE, unscrambled: the caller wipes it after use
    std::string appName;   // UTF-16LE
    std::string database;  // UTF-16LE
};
Login7 ParseLogin7(std::string_view body);

// A SQL batch's text (UTF-16LE), after the ALL_HEADERS that TDS 7.2 and
// later put first.
std::string_view SqlBatchText(std::string_view body, std::uint32_t tdsVersion);

// One parameter of an RPC request, for the types the drivers use to pass
// statement texts and handles.
struct RpcParam {
    AnsiString name;
    bool isNull = true;
    AnsiString text;
    std::int64_t integer = 0;
};

// Procedure ids as RPC carries them, also given for the names.
constexpr int kSpExecuteSql = 10;
constexpr int kSpPrepare = 11;
constexpr int kSpExecute = 12;
constexpr int kSpPrepExec = 13;
constexpr int kSpUnprepare = 15;

struct RpcRequest {
    AnsiString name;    // "sp_N" when the client sent an id
    int procedure = 0;  // 0: none of the above
    std::vector<RpcParam> params;
};
// The first request of an RPC message; a further one of a batch of RPCs is
// not used by the drivers and is ignored.
RpcRequest ParseRpc(std::string_view body, std::uint32_t tdsVersion);

}  // namespace emulator::tds
