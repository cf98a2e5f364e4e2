// Runs the real mssql-emulator for a test: on free loopback ports, with its
// own workstation, waiting for its "ready" line rather than sleeping.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace testsupport {

struct EmulatorOptions {
    std::filesystem::path workstation;  // its --workstation
    std::filesystem::path data;         // its --data; empty = its default
    std::string saPassword = "Emul-Sa-2026";
    bool browser = false;  // also --browser on a free UDP port
    std::string instance;  // --instance when not empty
};

// Starts <QUILL_BIN_DIR or the build's bin>/mssql-emulator on free 127.0.0.1
// ports and waits for "ready"; throws std::runtime_error with its stderr when
// it fails or does not get ready in time. The password goes through the
// environment, never the command line.
class EmulatorProcess {
  public:
    explicit EmulatorProcess(EmulatorOptions options);
    ~EmulatorProcess();  // SIGTERM and wait
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    int Port() const { return port_; }                // TCP
    int BrowserPort() const { return browserPort_; }  // UDP, 0 when none
    pid_t Pid() const { return pid_; }
    const EmulatorOptions& Options() const { return options_; }

    int Stop();   // SIGTERM, wait, exit status (128 + signal when killed by one)
    void Kill();  // SIGKILL, wait
    // What it wrote on stderr so far.
    std::string StderrText() const;

  private:
    bool Launch(std::string& failure);
    int Wait();

    EmulatorOptions options_;
    int port_ = 0;
    int browserPort_ = 0;
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::filesystem::path stderrFile_;
};

// A loopback port that was free a moment ago: SOCK_STREAM or SOCK_DGRAM.
int FreeLoopbackPort(int socketType);

// The folder of the project's executables (QUILL_BIN_DIR, else the build's).
std::filesystem::path BinDir();

}  // namespace testsupport
