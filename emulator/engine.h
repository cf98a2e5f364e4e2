// What the emulator does with a batch: parses it, runs each statement against
// the catalogue and the workstation's files, and reports through an Output as
// SQL Server would (messages, result sets, DONE per statement). The protocol
// side implements Output; tests record it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "emulator/catalogue.h"
#include "emulator/sql.h"
#include "platform/text.h"
#include "platform/workstation.h"

namespace emulator {

struct Column {
    enum class Type { Text, Int, BigInt };
    AnsiString name;
    Type type = Type::Text;
};
using Value = std::variant<std::monostate, std::int64_t, AnsiString>;

class Output {
  public:
    virtual ~Output() = default;
    // An error when severity is above 10, else an informational message.
    virtual void Message(std::int32_t number, std::uint8_t state, std::uint8_t severity,
                         const AnsiString& text, std::int32_t line) = 0;
    virtual void Columns(const std::vector<Column>& columns) = 0;
    virtual void Row(const std::vector<Value>& values) = 0;
    virtual void Done(std::uint16_t status, std::uint16_t curCmd, std::uint64_t rowCount) = 0;
    virtual void DatabaseChanged(const AnsiString& newName, const AnsiString& oldName) = 0;
    // Sends what has been produced so far (progress of a long statement).
    virtual void Flush() = 0;
    // True once the client asked to cancel, went away, or the server stops.
    virtual bool Cancelled() = 0;
};

struct EngineOptions {
    std::filesystem::path workstation;
    std::filesystem::path dataDir;  // the catalogue's folder
    AnsiString serverName;          // the workstation's computer name
    AnsiString instance = "MSSQLSERVER";
    // The Windows folder of CREATE DATABASE's default files; ends in '\'.
    AnsiString defaultDataPath = "C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\";
    std::uint64_t defaultDataSize = 1024 * 1024;
    std::uint64_t defaultLogSize = 1024 * 1024;
};

struct Session {
    int spid = 51;
    AnsiString user = "sa";
    AnsiString database;  // as the catalogue spells it; empty before login
};

class Engine {
  public:
    // Throws platform::Exception; emulator::JournalError when a statement
    // interrupted by a kill can be neither finished nor undone.
    explicit Engine(EngineOptions options);

    // What the start did with the journals of interrupted statements.
    const std::vector<std::string>& Recovered() const { return recovered_; }

    const EngineOptions& Options() const { return options_; }
    const platform::Workstation& Workstation() const { return ws_; }

    // Login: the database as the catalogue spells it, and the session now
    // counts as using it; false when there is no such database.
    bool OpenSession(Session& session, const AnsiString& database);
    void CloseSession(Session& session);

    // Runs a whole batch. False when it was cancelled: the caller answers the
    // attention (or drops the connection); nothing more is sent for it.
    bool ExecuteBatch(Session& session, const AnsiString& batch, Output& out);

    // Every database name now, for tests and diagnostics.
    std::vector<AnsiString> DatabaseNames();

  private:
    struct Run;
    friend struct Run;

    platform::Workstation ws_;
    EngineOptions options_;

    std::mutex mutex_;  // guards everything below
    Catalogue catalogue_;
    std::map<AnsiString, int> users_;  // upper-case name -> sessions and backups using it
    std::set<AnsiString> busyNames_;   // upper-case names being restored, created, dropped
    std::map<AnsiString, AnsiString> busyPaths_;  // upper-case Windows path -> database writing it
    std::vector<std::string> recovered_;
};

}  // namespace emulator
