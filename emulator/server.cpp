#include "emulator/server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/text.h"

namespace emulator {
namespace {

// More at once than any test or installer needs; past it, new ones are
// turned away rather than exhausting threads.
constexpr std::size_t kMaxConnections = 256;

int MakeWakeFd() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
    return fd;
}

void Wake(int fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = write(fd, &one, sizeof one);
}

}  // namespace

sockaddr_in ParseEndpoint(const std::string& text) {
    std::string host = "127.0.0.1";
    std::string port = text;
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        if (colon > 0) {
            host = text.substr(0, colon);
        }
        port = text.substr(colon + 1);
    }
    if (host == "localhost") {
        host = "127.0.0.1";
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        throw std::invalid_argument("'" + text + "': the host must be an IPv4 address");
    }
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
        throw std::invalid_argument("'" + text + "': the port must be a number from 0 to 65535");
    }
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    return address;
}

int BindSocket(const sockaddr_in& address, int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    const int on = 1;
    if (type == SOCK_STREAM) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    const std::string name = std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0)) {
        const int err = errno;
        close(fd);
        throw std::runtime_error("cannot listen on " + name + ": " + std::strerror(err));
    }
    return fd;
}

TcpServer::TcpServer(int listenFd, ServerContext& context)
    : listenFd_(listenFd), wakeFd_(MakeWakeFd()), context_(context) {}

TcpServer::~TcpServer() {
    Stop();
    close(wakeFd_);
    close(listenFd_);
}

void TcpServer::Start() {
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void TcpServer::Stop() {
    context_.stopping = true;
    Wake(wakeFd_);
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    Reap(true);
}

void TcpServer::Reap(bool all) {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
        Worker& w = **it;
        if (all && !w.done) {
            // Wakes a connection blocked in recv; it then sees the stop.
            shutdown(w.fd, SHUT_RDWR);
        }
        if (all || w.done) {
            w.thread.join();
            close(w.fd);
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void TcpServer::AcceptLoop() {
    while (!context_.stopping) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = poll(p, 2, 1000);
        Reap(false);
        if (ready <= 0 || !(p[0].revents & POLLIN) || context_.stopping) {
            continue;
        }
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard lock(mutex_);
        if (workers_.size() >= kMaxConnections) {
            close(fd);
            continue;
        }
        auto worker = std::make_unique<Worker>();
        worker->fd = fd;
        Worker* w = worker.get();
        w->thread = std::thread([this, w] {
            ServeConnection(w->fd, context_);
            w->done = true;
        });
        workers_.push_back(std::move(worker));
    }
}

std::string SsrpAnswer(const std::string& request, const BrowserInfo& info) {
    if (request.empty()) {
        return {};
    }
    const auto type = static_cast<unsigned char>(request[0]);
    if (type == 0x02 || type == 0x03) {
        if (request.size() != 1) {
            return {};
        }
    } else if (type == 0x04) {
        // The instance name, NUL-terminated, at most 32 bytes with the NUL.
        if (request.size() < 3 || request.size() > 33 || request.back() != '\0') {
            return {};
        }
        const std::string asked = request.substr(1, request.size() - 2);
        if (asked.find('\0') != std::string::npos ||
            !platform::AnsiSameText(asked, info.instance)) {
            return {};
        }
    } else {
        return {};
    }
    const std::string data = "ServerName;" + info.serverName + ";InstanceName;" + info.instance +
                             ";IsClustered;No;Version;16.0.1000.6;tcp;" +
                             std::to_string(info.tcpPort) + ";;";
    std::string out;
    out.push_back(0x05);
    out.push_back(static_cast<char>(data.size() & 0xFF));
    out.push_back(static_cast<char>(data.size() >> 8));
    return out + data;
}

SsrpResponder::SsrpResponder(int udpFd, BrowserInfo info)
    : fd_(udpFd), wakeFd_(MakeWakeFd()), info_(std::move(info)) {}

SsrpResponder::~SsrpResponder() {
    Stop();
    close(wakeFd_);
    close(fd_);
}

void SsrpResponder::Start() {
    thread_ = std::thread([this] { Loop(); });
}

void SsrpResponder::Stop() {
    Wake(wakeFd_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SsrpResponder::Loop() {
    char buffer[2048];
    while (true) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (p[1].revents & POLLIN) {
            return;
        }
        if (!(p[0].revents & POLLIN)) {
            continue;
        }
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n <= 0 || from.sin_family != AF_INET ||
            from.sin_addr.s_addr == htonl(INADDR_BROADCAST) || from.sin_port == 0) {
            continue;
        }
        const std::string answer =
            SsrpAnswer(std::string(buffer, static_cast<std::size_t>(n)), info_);
        if (!answer.empty()) {
            sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from),
                   fromLength);
        }
    }
}

}  // namespace emulator
