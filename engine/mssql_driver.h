// The MSSQL driver: SQL Server reached through ODBC (unixODBC), with the
// FreeTDS driver unless the engine configuration names another one.
#pragma once

#include <memory>
#include <string>

#include "engine/configuration.h"

namespace engine::mssql {

// Where a SERVER NAME leads: "host", "host\instance", "host,port", or a
// client alias of the workstation (a value of the key
// HKLM\SOFTWARE\Microsoft\MSSQLServer\Client\ConnectTo with data
// "DBMSSOCN,host[,port]"), as SQL Server's client tools read them.
struct ServerAddress {
    AnsiString host;
    int port = 0;  // 0: the instance's port, found by the driver
    AnsiString instance;
    bool operator==(const ServerAddress&) const = default;
};
ServerAddress ResolveServerName(const AnsiString& serverName);

// The settings of one connection, after the alias's lines and the
// database's Params have been merged.
struct ConnectionSettings {
    AnsiString server;
    AnsiString database;
    AnsiString user;
    AnsiString password;
    AnsiString clientCharset = "CP1252";
};

// The connection-string value for any text, as ODBC quotes it: braces around
// it, a closing brace doubled, so that no character can end the value early.
AnsiString QuoteOdbcValue(const AnsiString& value);
// FreeTDS reads a braced value up to the first "}" that a ";" or the end
// follows, and doubles nothing: the value goes in braces as it stands, and
// a value holding "};", which FreeTDS cannot receive, is refused rather than
// let it end early and add an attribute.
AnsiString QuoteFreeTdsValue(const AnsiString& value, const char* what);
bool IsFreeTdsDriver(const AnsiString& odbcDriver);
AnsiString ConnectionString(const DriverSettings& driver, const ServerAddress& server,
                            const ConnectionSettings& settings);

class Connection {
  public:
    // Logs in; raises EDatabaseError with the server's text on failure.
    Connection(const DriverSettings& driver, const ConnectionSettings& settings);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends the batch unchanged and drains every result and message until the
    // server has finished; raises EDatabaseError with the server's errors.
    void Execute(const AnsiString& sql);

  private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};

}  // namespace engine::mssql
