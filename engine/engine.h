// The database engine's components, as the program sees them: the session,
// the database and the query. This first cut holds their properties and the
// rules about changing them; the driver that reaches SQL Server comes next.
#pragma once

#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/exception.h"
#include "platform/text.h"

namespace engine {

using platform::AnsiString;

class EDatabaseError : public platform::Exception {
  public:
    using platform::Exception::Exception;
};

// NAME=value lines, in order.
using TStrings = std::vector<AnsiString>;

class TSession {
  public:
    explicit TSession(AnsiString name) : name_(std::move(name)) {}
    const AnsiString& SessionName() const { return name_; }

    const AnsiString& NetFileDir() const { return netFileDir_; }
    void SetNetFileDir(const AnsiString& dir) { netFileDir_ = dir; }
    const AnsiString& PrivateDir() const { return privateDir_; }
    void SetPrivateDir(const AnsiString& dir) { privateDir_ = dir; }

  private:
    AnsiString name_;
    AnsiString netFileDir_;
    AnsiString privateDir_;
};

// The default session "Default", made at program start-up.
TSession& Session();

class TDatabase : public platform::TComponent {
  public:
    explicit TDatabase(platform::TComponent* owner) : TComponent(owner) {}

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

    bool Connected() const { return connected_; }
    void SetConnected(bool connected);

  private:
    void CheckInactive(const char* what) const;

    TStrings params_;
    AnsiString aliasName_;
    AnsiString databaseName_;
    bool connected_ = false;
};

class TQuery : public platform::TComponent {
  public:
    explicit TQuery(platform::TComponent* owner) : TComponent(owner) {}

    TStrings SQL;
    const AnsiString& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const AnsiString& name);
    bool Active() const { return active_; }
    void Close() { active_ = false; }
    void ExecSQL();

  private:
    AnsiString databaseName_;
    bool active_ = false;
};

}  // namespace engine
