// mssql-emulator: a SQL Server stand-in speaking TDS (and SSRP) on loopback,
// whose files live on a workstation of its own. Run `mssql-emulator --help`.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/connection.h"
#include "emulator/engine.h"
#include "emulator/journal.h"
#include "emulator/server.h"
#include "platform/computer_name.h"
#include "platform/exception.h"
#include "platform/text.h"
#include "platform/workstation.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kHelp = R"(usage: mssql-emulator [OPTIONS]

A SQL Server stand-in for tests and demonstrations: TDS 7.x over TCP with SQL
Server authentication, RESTORE / BACKUP / CREATE / DROP DATABASE on the Windows
paths of its own workstation, and optionally the SQL Server Browser's SSRP.

Options:
  --listen HOST:PORT   TCP address (default 127.0.0.1:1433; ":PORT" or "PORT"
                       mean 127.0.0.1)
  --workstation DIR    its workstation folder (default $WORKSTATION_DIR, else
                       $XDG_DATA_HOME/quillorant/workstation)
  --data DIR           the folder of its catalogue (default
                       <workstation>/mssql-emulator/<INSTANCE>)
  --browser HOST:PORT  also answer SSRP requests on this UDP address
  --instance NAME      instance name (default MSSQLSERVER)
  --verbose            log logins and statements on stderr
  --help               this text

The sa password is read from the environment variable MSSQL_SA_PASSWORD, never
from the command line. Once listening it prints one line "ready" on stdout.
SIGTERM or SIGINT stops it (exit status 0). Usage errors, and a journal of
an interrupted statement that can be neither finished nor undone: exit status
2; failure to start: exit status 1.
)";

struct Usage {
    std::string message;
};

struct Settings {
    std::string listen = "127.0.0.1:1433";
    std::optional<fs::path> workstation;
    std::optional<fs::path> data;
    std::optional<std::string> browser;
    std::string instance = "MSSQLSERVER";
    bool verbose = false;
};

Settings ParseArguments(const std::vector<std::string>& args) {
    Settings s;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                throw Usage{a + " needs a value"};
            }
            return args[++i];
        };
        if (a == "--listen") {
            s.listen = value();
        } else if (a == "--workstation") {
            s.workstation = value();
        } else if (a == "--data") {
            s.data = value();
        } else if (a == "--browser") {
            s.browser = value();
        } else if (a == "--instance") {
            s.instance = value();
            if (s.instance.size() > 16 ||
                s.instance.find_first_of(";\\/:,'\" ") != std::string::npos) {
                throw Usage{"--instance: '" + s.instance +
                            "' is not an instance name (at most 16 characters, no separators)"};
            }
        } else if (a == "--verbose") {
            s.verbose = true;
        } else {
            throw Usage{"unknown argument '" + a + "'"};
        }
    }
    return s;
}

int Run(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--help" || a == "-h") {
            std::cout << kHelp;
            return 0;
        }
    }
    Settings settings;
    sockaddr_in tcpAddress{};
    std::optional<sockaddr_in> udpAddress;
    try {
        settings = ParseArguments(args);
        tcpAddress = emulator::ParseEndpoint(settings.listen);
        if (settings.browser) {
            udpAddress = emulator::ParseEndpoint(*settings.browser);
        }
    } catch (const Usage& u) {
        std::cerr << "mssql-emulator: " << u.message << " (see --help)\n";
        return 2;
    } catch (const std::invalid_argument& e) {
        std::cerr << "mssql-emulator: " << e.what() << "\n";
        return 2;
    }
    const char* password = std::getenv("MSSQL_SA_PASSWORD");
    if (password == nullptr) {
        std::cerr << "mssql-emulator: MSSQL_SA_PASSWORD is not set; it gives the sa login's "
                     "password\n";
        return 2;
    }
    const fs::path workstation = settings.workstation ? fs::absolute(*settings.workstation)
                                                      : platform::Workstation::DefaultRoot();
    std::error_code ec;
    if (!fs::is_directory(workstation, ec)) {
        std::cerr << "mssql-emulator: the workstation folder " << workstation
                  << " does not exist (make one with `workstation init`)\n";
        return 2;
    }
    platform::Workstation::SetCurrent(workstation);
    const fs::path data = settings.data ? fs::absolute(*settings.data)
                                        : workstation / "mssql-emulator" / settings.instance;

    // The signals are taken by sigwait below, in every thread started after.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        fs::create_directories(data);
        // One emulator per catalogue: a second one would lose the first's changes.
        const int lock =
            open((data / "catalogue.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
            std::cerr << "mssql-emulator: the catalogue in " << data
                      << " is in use by another mssql-emulator\n";
            return 1;
        }
        char name[64] = {};
        platform::DWORD size = sizeof name;
        const platform::AnsiString computer = platform::GetComputerNameA(name, &size)
                                                  ? platform::AnsiString(name, size)
                                                  : "LOCALHOST";

        emulator::EngineOptions options;
        options.workstation = workstation;
        options.dataDir = data;
        options.serverName = computer;
        options.instance = settings.instance;
        if (platform::AsciiUpperCase(settings.instance) != "MSSQLSERVER") {
            options.defaultDataPath =
                "C:\\Program Files\\Microsoft SQL Server\\MSSQL$" + settings.instance + "\\Data\\";
        }
        std::optional<emulator::Engine> engine;
        try {
            engine.emplace(options);
        } catch (const emulator::JournalError& e) {
            // Guessing could lose a database or register a broken one.
            std::cerr << "mssql-emulator: " << e.what()
                      << "; not starting (see the journal in emulator/README.md)\n";
            return 2;
        }
        for (const auto& line : engine->Recovered()) {
            std::cerr << "mssql-emulator: " << line << "\n";
        }

        std::atomic<bool> stopping{false};
        emulator::ServerContext context{*engine, password, stopping};
        context.verbose = settings.verbose;
        emulator::TcpServer server(emulator::BindSocket(tcpAddress, SOCK_STREAM), context);
        std::unique_ptr<emulator::SsrpResponder> browser;
        if (udpAddress) {
            browser = std::make_unique<emulator::SsrpResponder>(
                emulator::BindSocket(*udpAddress, SOCK_DGRAM),
                emulator::BrowserInfo{computer, settings.instance, ntohs(tcpAddress.sin_port)});
        }
        server.Start();
        if (browser) {
            browser->Start();
        }
        std::cout << "ready" << std::endl;

        int signal = 0;
        while (sigwait(&stopSignals, &signal) != 0) {
        }
        if (browser) {
            browser->Stop();
        }
        server.Stop();
        return 0;
    } catch (const platform::Exception& e) {
        std::cerr << "mssql-emulator: " << e.what() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "mssql-emulator: " << e.what() << "\n";
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
