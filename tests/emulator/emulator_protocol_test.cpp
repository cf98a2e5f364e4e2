// The emulator as a TDS and SSRP server: logins, versions, packet sizes,
// attention, malformed input, several servers, the command line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "platform/computer_name.h"
#include "tests/emulator/emulator_fixture.h"

namespace emulatortest {
namespace {

TEST_F(EmulatorTest, LoginsAsSqlServerAnswersThem) {
    struct Case {
        std::string user;
        std::string password;
        std::string database;
        std::vector<int> numbers;
        std::string lastText;
        std::string databaseAfter;
    };
    const std::string good = "Emul-Sa-2026";
    const Case cases[] = {
        {"sa", good, "", {5701, 5703}, "Changed language setting to us_english.", "master"},
        {"SA", good, "Master", {5701, 5703}, "Changed language setting to us_english.", "master"},
        {"sa", good, "MSDB", {5701, 5703}, "Changed language setting to us_english.", "msdb"},
        {"sa", "wrong", "", {18456}, "Login failed for user 'sa'.", ""},
        {"sa", "emul-sa-2026", "", {18456}, "Login failed for user 'sa'.", ""},
        {"sa", "", "", {18456}, "Login failed for user 'sa'.", ""},
        {"bob", good, "", {18456}, "Login failed for user 'bob'.", ""},
        {"sa", good, "Nope", {4060, 18456}, "Login failed for user 'sa'.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + "/" + c.password + "/" + c.database);
        tdstest::Client client(emulator_->Port());
        const auto r = client.Login({c.user, c.password, c.database});
        EXPECT_EQ(Numbers(r), c.numbers);
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back().text, c.lastText);
        if (c.databaseAfter.empty()) {
            EXPECT_FALSE(client.LoggedIn());
            EXPECT_EQ(r.messages.back().severity, 14);
            EXPECT_EQ(r.messages.back().state, 1);
            EXPECT_EQ(r.doneStatus, std::vector<std::uint16_t>{0x0002});
            EXPECT_TRUE(client.ServerCloses());
        } else {
            EXPECT_TRUE(client.LoggedIn());
            EXPECT_EQ(r.databaseChanges, std::vector<std::string>{c.databaseAfter});
            EXPECT_EQ(r.messages[0].text, "Changed database context to '" + c.databaseAfter + "'.");
        }
    }
    tdstest::Client missing(emulator_->Port());
    const auto r = missing.Login({"sa", good, "Nope"});
    EXPECT_EQ(r.messages.at(0).text,
              "Cannot open database \"Nope\" requested by the login. The login failed.");
}

TEST_F(EmulatorTest, ErrorsNameTheWorkstationsComputer) {
    platform::Workstation::SetCurrent(ws_.Root());
    char name[64] = {};
    platform::DWORD size = sizeof name;
    ASSERT_TRUE(platform::GetComputerNameA(name, &size));
    const auto r = Sql("USE nope");
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].server, std::string(name, size));
}

TEST_F(EmulatorTest, EveryTdsVersionFromSevenOn) {
    struct Case {
        std::uint32_t asked;
        std::uint32_t answered;
    };
    const Case cases[] = {{0x70000000, 0x70000000}, {0x71000001, 0x71000001},
                          {0x72090002, 0x72090002}, {0x730B0003, 0x730B0003},
                          {0x74000004, 0x74000004}, {0x75000000, 0x74000004}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        tdstest::Client client(emulator_->Port());
        tdstest::LoginRequest login;
        login.password = "Emul-Sa-2026";
        login.version = c.asked;
        const auto r = client.Login(login);
        ASSERT_TRUE(client.LoggedIn());
        EXPECT_EQ(r.loginAckVersion, c.answered);
        const auto select = client.Batch("SELECT 42, 'x' AS t");
        ASSERT_EQ(select.rows.size(), 1u);
        EXPECT_EQ(select.rows[0][0], "42");
        EXPECT_EQ(select.columns.at(1), "t");
    }
}

TEST_F(EmulatorTest, PacketSizeIsNegotiatedAndMessagesSpanPackets) {
    tdstest::Client client(emulator_->Port());
    tdstest::LoginRequest login;
    login.password = "Emul-Sa-2026";
    login.packetSize = 512;
    const auto r = client.Login(login);
    ASSERT_TRUE(client.LoggedIn());
    EXPECT_EQ(r.packetSize, "512");
    // A long text both ways: the request in 512-byte packets, the answer in
    // packets the client checks against 512.
    const std::string text(3000, 'q');
    const auto select = client.Batch("/* " + std::string(5000, '-') + " */ SELECT '" + text + "'");
    ASSERT_EQ(select.rows.size(), 1u);
    EXPECT_EQ(select.rows[0][0], text);
    // Tiny packets are reassembled too.
    EXPECT_EQ(client.Batch("SELECT @@SERVICENAME", 9).rows.at(0).at(0), "MSSQLSERVER");

    tdstest::Client clamped(emulator_->Port());
    login.packetSize = 100;
    EXPECT_EQ(clamped.Login(login).packetSize, "512");
}

TEST_F(EmulatorTest, AttentionCancelsARunningBatchAndTheConnectionGoesOn) {
    auto waiting = Connect();
    waiting->SendBatch("WAITFOR DELAY '01:00:00'");
    // Meanwhile another connection logs in and is served.
    auto other = Connect();
    EXPECT_EQ(other->Batch("SELECT 1").rows.size(), 1u);
    waiting->SendAttention();
    const auto r = waiting->ReadResponse();
    EXPECT_TRUE(r.Attention());
    EXPECT_EQ(waiting->Batch("SELECT 2").rows.at(0).at(0), "2");
    // An attention with nothing running is acknowledged all the same.
    waiting->SendAttention();
    EXPECT_TRUE(waiting->ReadResponse().Attention());
}

TEST_F(EmulatorTest, ProceduresTheOdbcDriverCalls) {
    auto c = Connect();
    // sp_executesql (procedure id 10) with an NVARCHAR statement.
    std::string payload;
    auto put16 = [&](std::uint16_t v) {
        payload.push_back(static_cast<char>(v & 0xFF));
        payload.push_back(static_cast<char>(v >> 8));
    };
    const std::string headers("\x16\0\0\0\x12\0\0\0\x02\0\0\0\0\0\0\0\0\0\x01\0\0\0", 22);
    payload = headers;
    put16(0xFFFF);
    put16(10);
    put16(0);
    payload.push_back(0);  // unnamed parameter
    payload.push_back(0);
    payload.push_back(static_cast<char>(0xE7));
    put16(8000);
    payload += std::string("\x09\x04\xD0\x00\x00", 5);
    const std::string text = tdstest::Utf8ToUtf16("SELECT DB_NAME()");
    put16(static_cast<std::uint16_t>(text.size()));
    payload += text;
    c->SendMessage(0x03, payload, 4096);
    const auto r = c->ReadResponse();
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0], "master");
    EXPECT_EQ(r.doneStatus, std::vector<std::uint16_t>{0});
}

// ---- malformed input ------------------------------------------------------

std::string Packet(std::uint8_t type, std::uint8_t status, const std::string& payload,
                   int length = -1) {
    const int n = length < 0 ? static_cast<int>(payload.size() + 8) : length;
    std::string p = {static_cast<char>(type),
                     static_cast<char>(status),
                     static_cast<char>((n >> 8) & 0xFF),
                     static_cast<char>(n & 0xFF),
                     0,
                     0,
                     1,
                     0};
    return p + payload;
}

// The emulator still logs a client in and runs a batch.
void ExpectServing(int port) {
    tdstest::Client c(port);
    const auto r = c.Login({"sa", "Emul-Sa-2026", ""});
    ASSERT_TRUE(c.LoggedIn());
    EXPECT_EQ(c.Batch("SELECT 7").rows.at(0).at(0), "7");
}

TEST_F(EmulatorTest, MalformedPacketsCloseOnlyTheirConnection) {
    tdstest::LoginRequest good{"sa", "Emul-Sa-2026", ""};
    const std::string login = tdstest::Login7Payload(good);
    std::string hugeLength = login;
    hugeLength[0] = '\xFF';
    hugeLength[1] = '\xFF';
    std::string badOffset = login;
    badOffset[36 + 4] = '\xF0';  // user name offset far past the end
    badOffset[36 + 5] = '\x7F';
    std::string badCount = login;
    badCount[36 + 6] = '\xFF';  // user name length
    const std::string batchAfterLogin = "";
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"three bytes of a header", "\x12\x01\x00"},
        {"length zero", Packet(0x12, 1, "", 0)},
        {"length below the header", Packet(0x12, 1, "", 7)},
        {"length beyond the data", Packet(0x12, 1, "abc", 4000)},
        {"prelogin option out of bounds",
         Packet(0x12, 1, std::string("\x00\x10\x00\x00\x06\xFF", 6))},
        {"prelogin without terminator", Packet(0x12, 1, std::string("\x00\x00\x05\x00\x01", 5))},
        {"login truncated", Packet(0x10, 1, login.substr(0, 40))},
        {"login length beyond the message", Packet(0x10, 1, hugeLength)},
        {"login field offset out of bounds", Packet(0x10, 1, badOffset)},
        {"login field length out of bounds", Packet(0x10, 1, badCount)},
        {"unknown packet type", Packet(0x55, 1, "hello")},
        {"batch before login", Packet(0x01, 1, "S\0E\0L\0")},
        {"old TDS 4.2 login", Packet(0x02, 1, std::string(512, 'x'))},
        {"types change mid-message", Packet(0x12, 0, "ab") + Packet(0x10, 1, "cd")},
        {"endless message before login",
         [] {
             std::string s;
             for (int i = 0; i < 40; ++i) {
                 s += Packet(0x10, 0, std::string(4000, 'z'));
             }
             return s;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tdstest::Client raw(emulator_->Port());
        raw.SendRaw(c.bytes);
        if (std::string(c.what) == "three bytes of a header" ||
            std::string(c.what) == "length beyond the data") {
            // A peer that stops mid-packet: the emulator waits; it still serves others.
            ExpectServing(emulator_->Port());
            continue;
        }
        EXPECT_TRUE(raw.ServerCloses());
        ExpectServing(emulator_->Port());
    }

    // After login: a broken ALL_HEADERS, an odd-sized text, a foreign type.
    const Case afterLogin[] = {
        {"ALL_HEADERS too long", Packet(0x01, 1, std::string("\xFF\xFF\x00\x00S\0", 6))},
        {"ALL_HEADERS too short", Packet(0x01, 1, std::string("\x02\x00\x00\x00", 4))},
        {"bulk load", Packet(0x07, 1, "xyz")},
        {"rpc with a bad parameter type",
         Packet(0x03, 1,
                std::string("\x16\0\0\0\x12\0\0\0\x02\0\0\0\0\0\0\0\0\0\x01\0\0\0\xFF\xFF\x0A\0\0\0"
                            "\0\0\xF1\x01",
                            32))},
    };
    for (const auto& c : afterLogin) {
        SCOPED_TRACE(c.what);
        auto client = Connect();
        client->SendRaw(c.bytes);
        EXPECT_TRUE(client->ServerCloses());
        ExpectServing(emulator_->Port());
    }
    // An odd byte count in the text is not fatal: the half character is dropped.
    auto client = Connect();
    client->SendRaw(Packet(0x01, 1,
                           std::string("\x16\0\0\0\x12\0\0\0\x02\0\0\0\0\0\0\0\0\0\x01\0\0\0", 22) +
                               tdstest::Utf8ToUtf16("SELECT 5") + "x"));
    EXPECT_EQ(client->ReadResponse().rows.at(0).at(0), "5");
}

TEST_F(EmulatorTest, RandomPacketsNeverStopTheServer) {
    std::mt19937 rng(20260101);
    const std::uint8_t types[] = {0x01, 0x02, 0x03, 0x06, 0x07, 0x0E, 0x10, 0x11, 0x12, 0x55};
    const std::string login = tdstest::Login7Payload({"sa", "Emul-Sa-2026", ""});
    for (int i = 0; i < 300; ++i) {
        std::string bytes;
        const int shape = static_cast<int>(rng() % 4);
        if (shape == 0) {
            // Pure noise.
            bytes.resize(1 + rng() % 300);
            for (auto& b : bytes) {
                b = static_cast<char>(rng());
            }
        } else if (shape == 1) {
            // A valid header around noise.
            std::string body(rng() % 600, '\0');
            for (auto& b : body) {
                b = static_cast<char>(rng());
            }
            bytes =
                Packet(types[rng() % std::size(types)], static_cast<std::uint8_t>(rng() % 2), body);
        } else {
            // A real LOGIN7 with a few bytes flipped (shape 3: after a real PRELOGIN).
            std::string body = login;
            for (int k = 0; k < 1 + static_cast<int>(rng() % 6); ++k) {
                body[rng() % body.size()] = static_cast<char>(rng());
            }
            if (shape == 3) {
                bytes = Packet(0x12, 1, std::string("\x00\x00\x06\x00\x00\xFF", 6));
            }
            bytes += Packet(0x10, 1, body);
            if (rng() % 2 == 0) {
                bytes += Packet(0x01, 1, tdstest::Utf8ToUtf16("SELECT 1"));
            }
        }
        {
            tdstest::Client raw(emulator_->Port());
            raw.SendRaw(bytes);
        }  // closed at once, whatever the emulator was doing with it
        if (i % 50 == 49) {
            SCOPED_TRACE(i);
            ExpectServing(emulator_->Port());
        }
    }
    EXPECT_EQ(kill(emulator_->Pid(), 0), 0);
    ExpectServing(emulator_->Port());
    EXPECT_EQ(emulator_->Stop(), 0);
}

// ---- several servers ------------------------------------------------------

TEST_F(EmulatorTest, AnotherMachineHasItsOwnDisks) {
    testsupport::TempWorkstation otherWs;
    fs::create_directories(otherWs.Drive('d') / "Setup");
    fs::create_directories(otherWs.Drive('c') / "Data");
    fs::create_directories(ws_.Drive('c') / "Data");
    testsupport::EmulatorOptions options;
    options.workstation = otherWs.Root();
    testsupport::EmulatorProcess other(options);

    fs::create_directories(ws_.Drive('d') / "Setup");
    ASSERT_EQ(Numbers(Sql("CREATE DATABASE Q; BACKUP DATABASE Q TO DISK = 'D:\\Setup\\Q.bak'")),
              (std::vector<int>{4035, 4035, 3014}));
    tdstest::Client remote(other.Port());
    ASSERT_TRUE((remote.Login({"sa", "Emul-Sa-2026", ""}), remote.LoggedIn()));
    const std::string restore =
        "RESTORE DATABASE Q FROM DISK = 'D:\\Setup\\Q.bak' WITH MOVE 'Q' TO 'C:\\Data\\Q.mdf', "
        "MOVE "
        "'Q_log' TO 'C:\\Data\\Q_log.ldf'";
    // The backup lies on this machine's D:, not on the other one's.
    EXPECT_EQ(Numbers(remote.Batch(restore)), (std::vector<int>{3201, 3013}));
    fs::copy_file(ws_.Drive('d') / "Setup" / "Q.bak", otherWs.Drive('d') / "Setup" / "Q.bak");
    EXPECT_EQ(Numbers(remote.Batch(restore)), (std::vector<int>{4035, 4035, 3014}));
    EXPECT_TRUE(fs::exists(otherWs.Drive('c') / "Data" / "Q.mdf"));
    EXPECT_FALSE(fs::exists(ws_.Drive('c') / "Data" / "Q.mdf"));
    EXPECT_EQ(Databases(), (std::vector<std::string>{"master", "tempdb", "model", "msdb", "Q"}));
}

TEST_F(EmulatorTest, OneCatalogueServesOneEmulator) {
    testsupport::EmulatorOptions options;
    options.workstation = ws_.Root();
    try {
        testsupport::EmulatorProcess second(options);
        FAIL() << "a second emulator started on the same catalogue";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("in use by another mssql-emulator"), std::string::npos)
            << e.what();
    }
}

// ---- SSRP -----------------------------------------------------------------

class UdpClient {
  public:
    UdpClient() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~UdpClient() { close(fd_); }
    void Send(int port, const std::string& bytes) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // Waits for a datagram (generously: it is an error when none comes).
    std::string Receive() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) {
            return "(nothing)";
        }
        return Take();
    }
    // What has already arrived, without waiting.
    std::string Pending() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 ? Take() : "";
    }

  private:
    std::string Take() {
        char buf[2048];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return std::string(buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    int fd_;
};

class BrowserTest : public EmulatorTest {
  public:
    void SetUp() override {
        testsupport::EmulatorOptions options;
        options.browser = true;
        options.instance = "QUILL";
        Start(options);
        platform::Workstation::SetCurrent(ws_.Root());
        char name[64] = {};
        platform::DWORD size = sizeof name;
        ASSERT_TRUE(platform::GetComputerNameA(name, &size));
        const std::string data = "ServerName;" + std::string(name, size) +
                                 ";InstanceName;QUILL;IsClustered;No;Version;16.0.1000.6;tcp;" +
                                 std::to_string(emulator_->Port()) + ";;";
        expected_ = std::string("\x05") + static_cast<char>(data.size()) + '\0' + data;
    }

    // `silent` gets no answer: a later request from another socket is answered,
    // and the responder handles datagrams in order, so by then any answer to
    // `silent` would already be waiting.
    void ExpectNoAnswer(UdpClient& silent) {
        UdpClient probe;
        probe.Send(emulator_->BrowserPort(), "\x03");
        EXPECT_EQ(probe.Receive(), expected_);
        EXPECT_EQ(silent.Pending(), "");
    }

    std::string expected_;
};

TEST_F(BrowserTest, AnswersEachRequestKindForItsInstance) {
    for (const std::string& request :
         {std::string("\x03"), std::string("\x02"), std::string("\x04QUILL\0", 7),
          std::string("\x04quill\0", 7)}) {
        UdpClient c;
        c.Send(emulator_->BrowserPort(), request);
        EXPECT_EQ(c.Receive(), expected_) << testing::PrintToString(request);
    }
}

TEST_F(BrowserTest, IgnoresOtherInstancesAndGarbageAndKeepsAnswering) {
    UdpClient c;
    c.Send(emulator_->BrowserPort(), std::string("\x04MSSQLSERVER\0", 13));
    ExpectNoAnswer(c);
    std::mt19937 rng(5);
    for (int i = 0; i < 100; ++i) {
        std::string junk(rng() % 1500, '\0');
        for (auto& b : junk) {
            b = static_cast<char>(rng());
        }
        if (junk == "\x02" || junk == "\x03") {
            continue;
        }
        c.Send(emulator_->BrowserPort(), junk);
    }
    for (const std::string& bad :
         {std::string(), std::string("\x03\x03"), std::string("\x04QUILL", 6),
          std::string("\x05\x01QUILL\0", 8), std::string(70000 / 10, '\x03')}) {
        c.Send(emulator_->BrowserPort(), bad);
    }
    ExpectNoAnswer(c);
}

// ---- command line ---------------------------------------------------------

struct Outcome {
    int status;
    std::string stderrText;
};

Outcome RunEmulator(const std::vector<std::string>& args, bool withPassword) {
    const auto errFile = fs::temp_directory_path() / ("emu-cli-" + std::to_string(getpid()));
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        if (withPassword) {
            setenv("MSSQL_SA_PASSWORD", "x", 1);
        } else {
            unsetenv("MSSQL_SA_PASSWORD");
        }
        std::vector<char*> argv;
        std::string exe = (testsupport::BinDir() / "mssql-emulator").string();
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome o{WIFEXITED(status) ? WEXITSTATUS(status) : -1, testsupport::ReadFile(errFile)};
    fs::remove(errFile);
    return o;
}

TEST(EmulatorCommandLine, RefusesToStartWithAClearMessage) {
    testsupport::TempWorkstation ws;
    const std::string root = ws.Root().string();
    struct Case {
        std::vector<std::string> args;
        bool password;
        const char* says;
    };
    const Case cases[] = {
        {{"--workstation", root, "--listen", ":0"}, false, "MSSQL_SA_PASSWORD is not set"},
        {{"--workstation", root, "--bogus"}, true, "unknown argument '--bogus'"},
        {{"--workstation", root, "--listen", "here:1"}, true, "the host must be an IPv4 address"},
        {{"--workstation", root, "--listen", ":99999"}, true, "the port must be a number"},
        {{"--workstation", root, "--browser"}, true, "--browser needs a value"},
        {{"--workstation", root + "/missing"}, true, "does not exist"},
        {{"--workstation", root, "--instance", "A;B"}, true, "is not an instance name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const auto o = RunEmulator(c.args, c.password);
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.stderrText.find(c.says), std::string::npos) << o.stderrText;
    }
}

TEST(EmulatorCommandLine, StopsCleanlyOnSigtermAndSigint) {
    for (const int sig : {SIGTERM, SIGINT}) {
        testsupport::TempWorkstation ws;
        testsupport::EmulatorOptions options;
        options.workstation = ws.Root();
        options.browser = true;
        testsupport::EmulatorProcess emulator(options);
        auto c = std::make_unique<tdstest::Client>(emulator.Port());
        c->Login({"sa", "Emul-Sa-2026", ""});
        c->SendBatch("WAITFOR DELAY '00:10:00'");
        kill(emulator.Pid(), sig);
        EXPECT_EQ(emulator.Stop(), 0) << sig;
    }
}

}  // namespace
}  // namespace emulatortest
