#include "tests/support/emulator_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {
namespace {

// Generous: a sanitizer build on a loaded two-core machine starts slowly.
constexpr auto kReadyTimeout = std::chrono::seconds(60);

}  // namespace

std::filesystem::path BinDir() {
    if (const char* dir = std::getenv("QUILL_BIN_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return QUILL_DEFAULT_BIN_DIR;
}

int FreeLoopbackPort(int socketType) {
    const int fd = socket(AF_INET, socketType | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        const int err = errno;
        close(fd);
        throw std::runtime_error(std::string("bind: ") + std::strerror(err));
    }
    close(fd);
    return ntohs(a.sin_port);
}

EmulatorProcess::EmulatorProcess(EmulatorOptions options) : options_(std::move(options)) {
    std::string failure;
    // A port found free can be taken by someone else before the emulator
    // binds it; a few fresh tries make that race harmless.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (Launch(failure)) {
            return;
        }
        if (failure.find("cannot listen") == std::string::npos) {
            break;
        }
    }
    throw std::runtime_error("mssql-emulator did not start: " + failure);
}

bool EmulatorProcess::Launch(std::string& failure) {
    port_ = FreeLoopbackPort(SOCK_STREAM);
    browserPort_ = options_.browser ? FreeLoopbackPort(SOCK_DGRAM) : 0;
    const std::filesystem::path exe = BinDir() / "mssql-emulator";

    std::vector<std::string> args = {exe.string(), "--listen", "127.0.0.1:" + std::to_string(port_),
                                     "--workstation", options_.workstation.string()};
    if (!options_.data.empty()) {
        args.insert(args.end(), {"--data", options_.data.string()});
    }
    if (options_.browser) {
        args.insert(args.end(), {"--browser", "127.0.0.1:" + std::to_string(browserPort_)});
    }
    if (!options_.instance.empty()) {
        args.insert(args.end(), {"--instance", options_.instance});
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "MSSQL_SA_PASSWORD=", 18) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back("MSSQL_SA_PASSWORD=" + options_.saPassword);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    std::string templ = (std::filesystem::temp_directory_path() / "mssql-emulator-XXXXXX").string();
    const int errFd = mkostemp(templ.data(), O_CLOEXEC);
    if (errFd < 0) {
        throw std::runtime_error("cannot create a file for the emulator's stderr");
    }
    if (!stderrFile_.empty()) {
        std::filesystem::remove(stderrFile_);
    }
    stderrFile_ = templ;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(errFd);
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    stdoutFd_ = out[0];
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }

    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    while (seen.find("ready\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{stdoutFd_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            Kill();
            failure = "no \"ready\" within the time limit; stderr: " + StderrText();
            return false;
        }
        char buf[256];
        const ssize_t n = read(stdoutFd_, buf, sizeof buf);
        if (n <= 0) {
            const int status = Wait();
            failure = "exit status " + std::to_string(status) + "; stderr: " + StderrText();
            return false;
        }
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

EmulatorProcess::~EmulatorProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        // A stuck emulator must not hang the test run.
        for (int i = 0; i < 200 && pid_ > 0; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (pid_ > 0) {
            Kill();
        }
    }
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
    }
    if (!stderrFile_.empty()) {
        std::error_code ec;
        std::filesystem::remove(stderrFile_, ec);
    }
}

int EmulatorProcess::Wait() {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (stdoutFd_ >= 0) {
        close(stdoutFd_);
        stdoutFd_ = -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int EmulatorProcess::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
    }
    return Wait();
}

void EmulatorProcess::Kill() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        Wait();
    }
}

std::string EmulatorProcess::StderrText() const {
    std::ifstream in(stderrFile_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
