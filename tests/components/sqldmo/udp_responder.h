// A browse target for tests and the benchmark: a UDP socket on a free
// loopback port that answers every request with the datagrams it is given
// (or stays silent), on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// One SVR_RESP datagram around `data`.
inline std::string ServerResponse(const std::string& data) {
    std::string d(1, '\x05');
    d += static_cast<char>(data.size() & 0xFF);
    d += static_cast<char>((data.size() >> 8) & 0xFF);
    return d + data;
}

// The record of one instance, as SQL Server Browser writes it.
inline std::string InstanceRecord(const std::string& server, const std::string& instance,
                                  int port = 1433) {
    return "ServerName;" + server + ";InstanceName;" + instance +
           ";IsClustered;No;Version;16.0.1000.6;tcp;" + std::to_string(port) + ";;";
}

class UdpResponder {
  public:
    // `fromOtherPort`: answers leave from another socket, as an impostor's would.
    explicit UdpResponder(std::vector<std::string> answers = {}, bool fromOtherPort = false)
        : answers_(std::move(answers)) {
        fd_ = Bind();
        otherFd_ = fromOtherPort ? Bind() : -1;
        sockaddr_in a{};
        socklen_t n = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        if (pipe(stop_) != 0) {
            throw std::runtime_error("pipe");
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~UdpResponder() {
        const char c = 0;
        [[maybe_unused]] const auto ignored = write(stop_[1], &c, 1);
        thread_.join();
        close(stop_[0]);
        close(stop_[1]);
        close(fd_);
        if (otherFd_ >= 0) {
            close(otherFd_);
        }
    }
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    int Port() const { return port_; }
    std::string Target() const { return "127.0.0.1:" + std::to_string(port_); }
    int Requests() const { return requests_.load(); }
    std::vector<std::string> Received() const {
        const std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    static int Bind() {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("cannot bind a loopback UDP socket");
        }
        return fd;
    }

    void Serve() {
        std::vector<char> buf(65536);
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                continue;
            }
            if (p[1].revents != 0) {
                return;
            }
            sockaddr_in from{};
            socklen_t n = sizeof from;
            const ssize_t got =
                recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &n);
            if (got < 0) {
                continue;
            }
            {
                const std::lock_guard lock(mutex_);
                received_.emplace_back(buf.data(), static_cast<std::size_t>(got));
            }
            ++requests_;
            const int out = otherFd_ >= 0 ? otherFd_ : fd_;
            for (const std::string& answer : answers_) {
                sendto(out, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
            }
        }
    }

    std::vector<std::string> answers_;
    int fd_ = -1;
    int otherFd_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};

}  // namespace testsupport
