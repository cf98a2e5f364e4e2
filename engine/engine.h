// The database engine's components, as the program sees them: the session,
// the database and the query. The MSSQL driver behind them speaks to SQL
// Server through ODBC (mssql_driver.h); aliases live in the engine's
// configuration file (configuration.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/configuration.h"
#include "engine/errors.h"
#include "platform/component.h"
#include "platform/text.h"

namespace engine {

using platform::AnsiString;

namespace mssql {
class Connection;
}

// NAME=value lines, in order.
using TStrings = std::vector<AnsiString>;

class TSession {
  public:
    explicit TSession(AnsiString name) : name_(std::move(name)) {}
    const AnsiString& SessionName() const { return name_; }

    // The engine's network control folder and its private folder for
    // temporary files. Each may be set before the engine starts and applies
    // from its start; a folder that does not exist is refused, and so is a
    // private folder without write access. The MSSQL
    // driver keeps no files of its own in either, so the values are kept for
    // the drivers that would.
    const AnsiString& NetFileDir() const { return netFileDir_; }
    void SetNetFileDir(const AnsiString& dir);
    const AnsiString& PrivateDir() const { return privateDir_; }
    void SetPrivateDir(const AnsiString& dir);

    // Starts the engine when it has not started yet: its configuration must
    // be readable and ODBC must be there. Raises EDatabaseError otherwise.
    void Start();
    bool Active() const { return started_; }

    // Whether the engine's configuration holds an alias of that name
    // (letter case aside); an empty name is no alias.
    bool IsAlias(const AnsiString& name);
    // Adds the alias to the configuration file for good.
    void AddAlias(const AnsiString& name, const AnsiString& driver, const TStrings& lines);

    Configuration Config() const;

  private:
    AnsiString name_;
    AnsiString netFileDir_;
    AnsiString privateDir_;
    bool started_ = false;
};

// The default session "Default", made at program start-up.
TSession& Session();

class TDatabase : public platform::TComponent {
  public:
    explicit TDatabase(platform::TComponent* owner);
    ~TDatabase() override;

    AnsiString DriverName = "MSSQL";
    bool LoginPrompt = false;
    AnsiString SessionName = "Default";

    const TStrings& Params() const { return params_; }
    void ClearParams();
    void AddParam(const AnsiString& line);
    const AnsiString& AliasName() const { return aliasName_; }
    void SetAliasName(const AnsiString& name);
    const AnsiString& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const AnsiString& name);

    // Connecting logs in with no dialog: the alias's lines (when AliasName
    // is set), overridden by Params for this connection only.
    bool Connected() const { return connection_ != nullptr; }
    void SetConnected(bool connected);

    // Runs a batch on the open connection.
    void Execute(const AnsiString& sql);

    // The database component of that DatabaseName (letter case aside) in a
    // session, or null.
    static TDatabase* Find(const AnsiString& sessionName, const AnsiString& databaseName);

  private:
    void CheckInactive(const char* what) const;

    TStrings params_;
    AnsiString aliasName_;
    AnsiString databaseName_;
    std::unique_ptr<mssql::Connection> connection_;
};

class TQuery : public platform::TComponent {
  public:
    explicit TQuery(platform::TComponent* owner) : TComponent(owner) {}

    TStrings SQL;
    AnsiString SessionName = "Default";
    const AnsiString& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const AnsiString& name);
    bool Active() const { return active_; }
    void Close() { active_ = false; }
    // Connects the bound database when needed, sends the statement (the SQL
    // lines joined by CR LF) and returns once the server has finished.
    void ExecSQL();

  private:
    AnsiString databaseName_;
    bool active_ = false;
};

}  // namespace engine
