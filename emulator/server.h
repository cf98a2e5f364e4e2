// The listening side: a TCP listener with a thread per connection, and the
// SSRP responder on UDP. Both stop when Stop() is called from any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/connection.h"

namespace emulator {

// "HOST:PORT", ":PORT" or "PORT"; the host defaults to 127.0.0.1 and may be
// an IPv4 address or "localhost". Throws std::invalid_argument with a
// message for the user.
sockaddr_in ParseEndpoint(const std::string& text);

// Binds (throws std::runtime_error naming the address and the reason).
int BindSocket(const sockaddr_in& address, int type);

class TcpServer {
  public:
    TcpServer(int listenFd, ServerContext& context);
    ~TcpServer();
    void Start();
    void Stop();  // ends the accept loop, closes every connection, joins

  private:
    struct Worker {
        int fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void AcceptLoop();
    void Reap(bool all);

    int listenFd_;
    int wakeFd_;
    ServerContext& context_;
    std::thread acceptor_;
    std::mutex mutex_;
    std::list<std::unique_ptr<Worker>> workers_;
};

// Answers SQL Server Resolution Protocol requests for one instance.
struct BrowserInfo {
    std::string serverName;  // Windows-1252, the workstation's computer name
    std::string instance;
    int tcpPort = 0;
};

// The SVR_RESP for a request, or empty when it gets no answer.
std::string SsrpAnswer(const std::string& request, const BrowserInfo& info);

class SsrpResponder {
  public:
    SsrpResponder(int udpFd, BrowserInfo info);
    ~SsrpResponder();
    void Start();
    void Stop();

  private:
    void Loop();
    int fd_;
    int wakeFd_;
    BrowserInfo info_;
    std::thread thread_;
};

}  // namespace emulator
