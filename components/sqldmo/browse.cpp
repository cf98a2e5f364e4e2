#include "components/sqldmo/browse.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <mutex>

#include "platform/registry.h"
#include "platform/workstation.h"

namespace sqldmo {
namespace {

constexpr unsigned char CLNT_BCAST_EX = 0x02;
constexpr unsigned char CLNT_UCAST_EX = 0x03;
constexpr unsigned char SVR_RESP = 0x05;
constexpr std::size_t kMaxName = 255;
constexpr const char* kDefaultTargets = "127.0.0.1:1434";

std::atomic<int> rounds{0};

bool IsSeparator(char c) {
    return c == ';' || c == ',' || c == ' ' || c == '\t';
}

std::optional<platform::DWORD> DwordValue(const char* name, platform::DWORD low,
                                          platform::DWORD high) {
    const auto value = platform::QueryValue(platform::HKEY_LOCAL_MACHINE, kConfigKey, name);
    if (!value) {
        return std::nullopt;
    }
    const auto number = value->AsDword();
    if (!number || *number < low || *number > high) {
        throw ConfigError{AnsiString("HKLM\\") + kConfigKey + " " + name + ": a REG_DWORD from " +
                          std::to_string(low) + " to " + std::to_string(high) + " is expected"};
    }
    return number;
}

bool ValidNameChar(unsigned char c) {
    return c >= 0x20 && c != 0x7F && c != '\\';
}

bool ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxName) {
        return false;
    }
    for (unsigned char c : name) {
        if (!ValidNameChar(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<BrowseTarget> ParseTargets(std::string_view text) {
    std::vector<BrowseTarget> targets;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsSeparator(text[i])) {
            ++i;
        }
        std::size_t end = i;
        while (end < text.size() && !IsSeparator(text[end])) {
            ++end;
        }
        if (end == i) {
            break;
        }
        const std::string_view entry = text.substr(i, end - i);
        i = end;
        BrowseTarget t;
        t.text = AnsiString(entry);
        const std::size_t colon = entry.rfind(':');
        t.host = AnsiString(entry.substr(0, colon));
        if (colon != std::string_view::npos) {
            const std::string_view digits = entry.substr(colon + 1);
            unsigned port = 0;
            const auto [p, ec] =
                std::from_chars(digits.data(), digits.data() + digits.size(), port);
            if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size() ||
                port == 0 || port > 65535) {
                throw ConfigError{"invalid browse target '" + t.text + "': bad port"};
            }
            t.port = static_cast<std::uint16_t>(port);
        }
        if (t.host.empty()) {
            throw ConfigError{"invalid browse target '" + t.text + "': no host"};
        }
        targets.push_back(std::move(t));
    }
    return targets;
}

BrowseConfig ReadConfig() {
    BrowseConfig config;
    try {
        const auto targets =
            platform::QueryValue(platform::HKEY_LOCAL_MACHINE, kConfigKey, "BrowseTargets");
        if (targets) {
            const auto text = targets->Text();
            if (!text) {
                throw ConfigError{AnsiString("HKLM\\") + kConfigKey +
                                  " BrowseTargets: a REG_SZ is expected"};
            }
            config.targets = ParseTargets(*text);
        } else {
            config.targets = ParseTargets(kDefaultTargets);
        }
        if (auto v = DwordValue("TimeoutMs", 1, 60000)) {
            config.timeoutMs = static_cast<int>(*v);
        }
        if (auto v = DwordValue("Broadcast", 0, 1)) {
            config.broadcast = *v == 1;
        }
        if (auto v = DwordValue("CacheSeconds", 0, 300)) {
            config.cacheSeconds = static_cast<int>(*v);
        }
    } catch (const platform::Exception& e) {
        throw ConfigError{"the configuration cannot be read: " + e.Message()};
    }
    return config;
}

std::optional<std::vector<Instance>> ParseServerResponse(std::string_view datagram) {
    if (datagram.size() < 3 || static_cast<unsigned char>(datagram[0]) != SVR_RESP) {
        return std::nullopt;
    }
    const std::size_t size =
        static_cast<unsigned char>(datagram[1]) |
        (static_cast<std::size_t>(static_cast<unsigned char>(datagram[2])) << 8);
    // Truncated and padded answers alike are not to be trusted.
    if (size == 0 || size != datagram.size() - 3) {
        return std::nullopt;
    }
    std::string_view data = datagram.substr(3);
    std::vector<Instance> instances;
    while (!data.empty()) {
        Instance instance;
        bool haveServer = false;
        bool haveInstance = false;
        bool closed = false;
        while (!data.empty()) {
            const std::size_t keyEnd = data.find(';');
            if (keyEnd == std::string_view::npos) {
                return std::nullopt;
            }
            const std::string_view key = data.substr(0, keyEnd);
            data.remove_prefix(keyEnd + 1);
            if (key.empty()) {
                closed = true;  // the second ';' of ";;"
                break;
            }
            const std::size_t valueEnd = data.find(';');
            if (valueEnd == std::string_view::npos) {
                return std::nullopt;
            }
            const std::string_view value = data.substr(0, valueEnd);
            data.remove_prefix(valueEnd + 1);
            if (key == "ServerName") {
                if (haveServer || !ValidName(value)) {
                    return std::nullopt;
                }
                instance.serverName = AnsiString(value);
                haveServer = true;
            } else if (key == "InstanceName") {
                if (haveInstance || !ValidName(value)) {
                    return std::nullopt;
                }
                instance.instanceName = AnsiString(value);
                haveInstance = true;
            } else if (key.size() > kMaxName || value.size() > kMaxName) {
                return std::nullopt;
            }
        }
        if (!closed || !haveServer || !haveInstance) {
            return std::nullopt;
        }
        instances.push_back(std::move(instance));
    }
    return instances;
}

AnsiString ListedName(const Instance& instance, const AnsiString& computerName) {
    const bool own =
        !computerName.empty() && platform::AnsiSameText(instance.serverName, computerName);
    const bool isDefault = platform::AnsiSameText(instance.instanceName, "MSSQLSERVER");
    if (own) {
        return isDefault ? AnsiString("(local)") : computerName + "\\" + instance.instanceName;
    }
    return isDefault ? instance.serverName : instance.serverName + "\\" + instance.instanceName;
}

namespace {

struct Asked {
    sockaddr_in address{};
    bool resolved = false;
    std::optional<std::vector<Instance>> answer;
};

bool Resolve(const BrowseTarget& target, sockaddr_in* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(target.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    std::memcpy(out, found->ai_addr, sizeof *out);
    freeaddrinfo(found);
    out->sin_port = htons(target.port);
    return true;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

class Socket {
  public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

BrowseResult Browse(const BrowseConfig& config, const AnsiString& computerName) {
    ++rounds;
    BrowseResult result;
    std::vector<Asked> asked(config.targets.size());
    Socket sock;
    if (sock.fd() < 0) {
        return result;
    }
    int pending = 0;
    const unsigned char unicast = CLNT_UCAST_EX;
    for (std::size_t i = 0; i < config.targets.size(); ++i) {
        asked[i].resolved = Resolve(config.targets[i], &asked[i].address);
        if (asked[i].resolved &&
            sendto(sock.fd(), &unicast, 1, 0, reinterpret_cast<const sockaddr*>(&asked[i].address),
                   sizeof asked[i].address) == 1) {
            ++pending;
        } else {
            asked[i].resolved = false;
        }
    }
    std::vector<std::vector<Instance>> broadcastAnswers;
    if (config.broadcast) {
        const int on = 1;
        setsockopt(sock.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in all{};
        all.sin_family = AF_INET;
        all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        all.sin_port = htons(kBrowserPort);
        const unsigned char request = CLNT_BCAST_EX;
        sendto(sock.fd(), &request, 1, 0, reinterpret_cast<const sockaddr*>(&all), sizeof all);
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(config.timeoutMs);
    std::vector<char> buffer(65536);
    // Without a broadcast, waiting ends as soon as every target has answered.
    while (pending > 0 || config.broadcast) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{sock.fd(), POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = recvfrom(sock.fd(), buffer.data(), buffer.size(), MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) {
                break;  // nothing more for now (or an ICMP refusal): poll again
            }
            if (static_cast<std::size_t>(got) > buffer.size() || fromLength != sizeof from ||
                from.sin_family != AF_INET) {
                continue;
            }
            auto parsed =
                ParseServerResponse(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
            if (!parsed) {
                continue;
            }
            // A target listed twice is answered once for both.
            bool matched = false;
            for (Asked& a : asked) {
                if (a.resolved && !a.answer && SameAddress(a.address, from)) {
                    a.answer = parsed;
                    --pending;
                    matched = true;
                }
            }
            if (!matched && config.broadcast && from.sin_port == htons(kBrowserPort)) {
                broadcastAnswers.push_back(std::move(*parsed));
            }
        }
    }

    const auto add = [&](const std::vector<Instance>& instances) {
        for (const Instance& instance : instances) {
            AnsiString name = ListedName(instance, computerName);
            bool seen = false;
            for (const AnsiString& n : result.names) {
                seen = seen || platform::AnsiSameText(n, name);
            }
            if (!seen) {
                result.names.push_back(std::move(name));
            }
        }
    };
    for (const Asked& a : asked) {
        if (a.answer) {
            ++result.answered;
            add(*a.answer);
        }
    }
    for (const auto& answer : broadcastAnswers) {
        add(answer);
    }
    return result;
}

namespace {

struct Cache {
    std::mutex mutex;
    bool filled = false;
    std::filesystem::path workstation;
    std::chrono::steady_clock::time_point until;
    BrowseResult result;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

}  // namespace

BrowseResult CachedBrowse(const std::function<BrowseConfig()>& readConfig,
                          const std::function<AnsiString()>& computerName) {
    Cache& cache = TheCache();
    const std::lock_guard lock(cache.mutex);
    const auto& workstation = platform::Workstation::Current().Root();
    if (cache.filled && std::chrono::steady_clock::now() < cache.until &&
        cache.workstation == workstation) {
        return cache.result;
    }
    const BrowseConfig config = readConfig();
    cache.filled = false;
    cache.result = Browse(config, computerName());
    cache.filled = true;
    cache.workstation = workstation;
    cache.until = std::chrono::steady_clock::now() + std::chrono::seconds(config.cacheSeconds);
    return cache.result;
}

int BrowseRounds() {
    return rounds.load();
}

}  // namespace sqldmo
