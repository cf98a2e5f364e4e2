// A small TDS client written for the emulator's tests: it sends exactly the
// bytes a test asks for (well-formed or not) and reads tokens back, so that a
// test can check message numbers, states, severities and DONE flags.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tdstest {

struct ServerMessage {
    int number = 0;
    int state = 0;
    int severity = 0;
    std::string text;  // UTF-8
    std::string server;
    int line = 0;
};

struct Response {
    std::vector<ServerMessage> messages;
    std::vector<std::vector<std::optional<std::string>>> rows;  // values as text
    std::vector<std::string> columns;
    std::vector<std::uint16_t> doneStatus;  // DONE/DONEPROC tokens, in order
    std::vector<std::string> databaseChanges;
    std::optional<std::uint32_t> loginAckVersion;
    std::optional<std::string> packetSize;
    std::optional<std::int32_t> returnValue;
    bool Attention() const;
    // The message numbers, in order.
    std::vector<int> Numbers() const;
    const ServerMessage* Find(int number) const;
};

std::string Utf8ToUtf16(const std::string& utf8);
std::string Utf16ToUtf8(const std::string& utf16);
// LOGIN7's password scrambling.
std::string ScramblePassword(const std::string& utf16);

struct LoginRequest {
    std::string user = "sa";
    std::string password;
    std::string database;
    std::uint32_t version = 0x74000004;
    std::uint32_t packetSize = 4096;
};

// The LOGIN7 payload for a request.
std::string Login7Payload(const LoginRequest& request);

class Client {
  public:
    explicit Client(int port);  // connects to 127.0.0.1:port; throws
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // PRELOGIN then LOGIN7; the reply's tokens. LoggedIn() tells the outcome.
    Response Login(const LoginRequest& request);
    bool LoggedIn() const { return loggedIn_; }

    // A SQL batch (UTF-8 text), in packets of the negotiated size or of
    // `packetSize` when given.
    Response Batch(const std::string& sql, std::size_t packetSize = 0);
    // Sends the batch without reading its answer.
    void SendBatch(const std::string& sql);
    void SendAttention();
    // The next whole response.
    Response ReadResponse();

    void SendPacket(std::uint8_t type, std::uint8_t status, const std::string& payload);
    void SendMessage(std::uint8_t type, const std::string& payload, std::size_t packetSize);
    void SendRaw(const std::string& bytes);
    // The next message's payload; nullopt when the server closed the connection.
    std::optional<std::string> ReadMessage();
    // True when the server has closed the connection (reading until it does).
    bool ServerCloses();

    Response Parse(const std::string& payload) const;

  private:
    bool ReadExact(char* out, std::size_t n);

    int fd_ = -1;
    bool loggedIn_ = false;
    std::uint32_t version_ = 0x74000004;
    std::size_t packetSize_ = 4096;
};

}  // namespace tdstest
