#include "engine/mssql_driver.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

#include "engine/errors.h"
#include "platform/registry.h"

// After the platform headers: ODBC defines BOOL and TRUE as macros.
#include <sql.h>
#include <sqlext.h>

namespace engine::mssql {

namespace {

constexpr const char* kConnectToKey = "SOFTWARE\\Microsoft\\MSSQLServer\\Client\\ConnectTo";

std::u16string Wide(const AnsiString& ansi) {
    std::u16string wide;
    wide.reserve(ansi.size());
    for (unsigned char c : ansi)
        wide.push_back(static_cast<char16_t>(platform::AnsiCharToUnicode(c)));
    return wide;
}

AnsiString Narrow(const SQLWCHAR* text, std::size_t length) {
    AnsiString ansi;
    ansi.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const int c = platform::UnicodeToAnsiChar(static_cast<char32_t>(text[i]));
        ansi.push_back(c < 0 ? '?' : static_cast<char>(c));
    }
    return ansi;
}

// Passwords pass through these buffers; they are wiped before release.
void Wipe(std::u16string& s) {
    volatile char16_t* p = s.data();
    for (std::size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
}
void Wipe(AnsiString& s) {
    volatile char* p = s.data();
    for (std::size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
}

SQLWCHAR* W(std::u16string& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

AnsiString Trim(const AnsiString& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == AnsiString::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

int ParsePort(const AnsiString& text, const AnsiString& serverName) {
    const AnsiString t = Trim(text);
    int port = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), port);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size() || port < 1 || port > 65535) {
        throw EDatabaseError("Invalid port in server name '" + serverName + "'.");
    }
    return port;
}

AnsiString LocalHost(const AnsiString& host) {
    if (host == "." || platform::AnsiSameText(host, "(local)"))
        return "127.0.0.1";
    return host;
}

ServerAddress ParseServerName(const AnsiString& serverName) {
    AnsiString name = Trim(serverName);
    if (name.size() > 4 && platform::AnsiSameText(name.substr(0, 4), "tcp:"))
        name = name.substr(4);
    if (name.empty())
        throw EDatabaseError("No server name given.");
    ServerAddress address;
    if (const auto comma = name.find(','); comma != AnsiString::npos) {
        address.port = ParsePort(name.substr(comma + 1), serverName);
        name = Trim(name.substr(0, comma));
    }
    if (const auto slash = name.find('\\'); slash != AnsiString::npos) {
        address.instance = Trim(name.substr(slash + 1));
        name = Trim(name.substr(0, slash));
        if (address.instance.empty()) {
            throw EDatabaseError("Invalid instance in server name '" + serverName + "'.");
        }
    }
    if (name.empty())
        throw EDatabaseError("Invalid server name '" + serverName + "'.");
    address.host = LocalHost(name);
    return address;
}

std::optional<ServerAddress> ClientAlias(const AnsiString& serverName) {
    std::optional<platform::RegValue> value;
    try {
        value = platform::QueryValue(platform::HKEY_LOCAL_MACHINE, kConnectToKey, serverName);
    } catch (const platform::Exception& e) {
        throw EDatabaseError(e.Message());
    }
    if (!value)
        return std::nullopt;
    const auto data = value->Text();
    if (!data)
        return std::nullopt;
    // "DBMSSOCN,host[,port]": TCP/IP is the one network library there is here.
    const auto comma = data->find(',');
    const AnsiString library = Trim(data->substr(0, comma));
    if (comma == AnsiString::npos || !platform::AnsiSameText(library, "DBMSSOCN")) {
        throw EDatabaseError("The client alias '" + serverName + "' (" + *data +
                             ") does not use TCP/IP, the only network library available.");
    }
    return ParseServerName(data->substr(comma + 1));
}

// ODBC decorates messages with the components they passed through
// ("[FreeTDS][SQL Server]..."); the user is shown the server's text.
AnsiString WithoutComponentPrefixes(AnsiString text) {
    while (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == AnsiString::npos)
            break;
        text.erase(0, close + 1);
    }
    return text;
}

struct Diagnostic {
    AnsiString state;
    AnsiString text;
    bool IsInformational() const { return state.rfind("01", 0) == 0; }
};

std::vector<Diagnostic> Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::vector<Diagnostic> out;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::vector<SQLWCHAR> text(1024);
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(type, handle, i, state, &native, text.data(),
                                      static_cast<SQLSMALLINT>(text.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
            text.resize(static_cast<std::size_t>(length) + 1);
            rc = SQLGetDiagRecW(type, handle, i, state, &native, text.data(),
                                static_cast<SQLSMALLINT>(text.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc))
            break;
        const std::size_t used = std::min<std::size_t>(
            static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)), text.size() - 1);
        out.push_back({Narrow(state, 5), WithoutComponentPrefixes(Narrow(text.data(), used))});
    }
    return out;
}

// The errors of a failed call, one per line; informational messages only
// when nothing else explains the failure.
AnsiString ErrorText(const std::vector<Diagnostic>& diagnostics, const AnsiString& fallback) {
    AnsiString text;
    for (bool informational : {false, true}) {
        for (const Diagnostic& d : diagnostics) {
            if (d.IsInformational() != informational || d.text.empty())
                continue;
            if (!text.empty())
                text += "\n";
            text += d.text;
        }
        if (!text.empty())
            return text;
    }
    return fallback;
}

[[noreturn]] void Raise(SQLSMALLINT type, SQLHANDLE handle, const AnsiString& fallback) {
    throw EDatabaseError(ErrorText(Diagnostics(type, handle), fallback));
}

// One ODBC environment for the process, made when the engine starts.
SQLHENV Environment() {
    static SQLHENV env = [] {
        SQLHENV h = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h))) {
            throw EDatabaseError("Cannot start the database engine: no ODBC environment.");
        }
        SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        return h;
    }();
    return env;
}

}  // namespace

ServerAddress ResolveServerName(const AnsiString& serverName) {
    const AnsiString name = Trim(serverName);
    if (name.empty())
        throw EDatabaseError("No server name given.");
    if (auto alias = ClientAlias(name))
        return *alias;
    return ParseServerName(name);
}

AnsiString QuoteOdbcValue(const AnsiString& value) {
    AnsiString quoted = "{";
    for (char c : value) {
        quoted.push_back(c);
        if (c == '}')
            quoted.push_back('}');
    }
    quoted.push_back('}');
    return quoted;
}

AnsiString QuoteFreeTdsValue(const AnsiString& value, const char* what) {
    if (value.find("};") != AnsiString::npos) {
        throw EDatabaseError(AnsiString("The ") + what +
                             " holds \"};\", which the FreeTDS ODBC driver cannot receive.");
    }
    return "{" + value + "}";
}

bool IsFreeTdsDriver(const AnsiString& odbcDriver) {
    const AnsiString lower = platform::AnsiLowerCase(odbcDriver);
    return lower.find("freetds") != AnsiString::npos || lower.find("tdsodbc") != AnsiString::npos;
}

AnsiString ConnectionString(const DriverSettings& driver, const ServerAddress& server,
                            const ConnectionSettings& settings) {
    const bool freeTds = IsFreeTdsDriver(driver.odbcDriver);
    const auto quote = [freeTds](const AnsiString& value, const char* what) {
        return freeTds ? QuoteFreeTdsValue(value, what) : QuoteOdbcValue(value);
    };
    AnsiString s = "DRIVER=" + quote(driver.odbcDriver, "driver name");
    AnsiString serverText = server.host;
    if (!server.instance.empty())
        serverText += "\\" + server.instance;
    if (freeTds) {
        s += ";SERVER=" + quote(serverText, "server name");
        if (server.port != 0)
            s += ";PORT=" + quote(std::to_string(server.port), "port");
        if (!settings.clientCharset.empty()) {
            s += ";ClientCharset=" + quote(settings.clientCharset, "character set");
        }
    } else {
        if (server.port != 0)
            serverText = "tcp:" + server.host + "," + std::to_string(server.port);
        s += ";SERVER=" + quote(serverText, "server name");
    }
    if (!settings.database.empty())
        s += ";DATABASE=" + quote(settings.database, "database name");
    s += ";UID=" + quote(settings.user, "user name");
    s += ";PWD=" + quote(settings.password, "password");
    s += ";APP={Quillorant SQL}";
    if (!Trim(driver.odbcAttributes).empty())
        s += ";" + Trim(driver.odbcAttributes);
    return s;
}

struct Connection::Handles {
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
};

Connection::Connection(const DriverSettings& driver, const ConnectionSettings& settings)
    : handles_(std::make_unique<Handles>()) {
    const ServerAddress server = ResolveServerName(settings.server);
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, Environment(), &handles_->dbc))) {
        throw EDatabaseError("Cannot allocate an ODBC connection.");
    }
    SQLSetConnectAttrW(
        handles_->dbc, SQL_ATTR_LOGIN_TIMEOUT,
        reinterpret_cast<SQLPOINTER>(static_cast<std::intptr_t>(driver.loginTimeoutSeconds)), 0);
    AnsiString text = ConnectionString(driver, server, settings);
    std::u16string wide = Wide(text);
    Wipe(text);
    const SQLRETURN rc =
        SQLDriverConnectW(handles_->dbc, nullptr, W(wide), static_cast<SQLSMALLINT>(wide.size()),
                          nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    Wipe(wide);
    if (!SQL_SUCCEEDED(rc)) {
        const auto diagnostics = Diagnostics(SQL_HANDLE_DBC, handles_->dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, handles_->dbc);
        handles_->dbc = SQL_NULL_HDBC;
        throw EDatabaseError(
            ErrorText(diagnostics, "Cannot connect to the server " + settings.server + "."));
    }
    handles_->connected = true;
}

Connection::~Connection() {
    if (handles_->connected)
        SQLDisconnect(handles_->dbc);
    if (handles_->dbc != SQL_NULL_HDBC)
        SQLFreeHandle(SQL_HANDLE_DBC, handles_->dbc);
}

void Connection::Execute(const AnsiString& sql) {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, handles_->dbc, &stmt))) {
        Raise(SQL_HANDLE_DBC, handles_->dbc, "Cannot allocate an ODBC statement.");
    }
    struct FreeStatement {
        SQLHSTMT h;
        ~FreeStatement() { SQLFreeHandle(SQL_HANDLE_STMT, h); }
    } freeStatement{stmt};

    std::u16string wide = Wide(sql);
    std::vector<Diagnostic> errors;
    SQLRETURN rc = SQLExecDirectW(stmt, W(wide), static_cast<SQLINTEGER>(wide.size()));
    // Every result of the batch is drained, so that an error that follows
    // informational messages is seen and the call returns only once the
    // server has finished.
    for (;;) {
        if (rc == SQL_NO_DATA)
            break;
        if (rc == SQL_INVALID_HANDLE)
            throw EDatabaseError("Invalid ODBC statement handle.");
        auto diagnostics = Diagnostics(SQL_HANDLE_STMT, stmt);
        if (rc == SQL_ERROR) {
            if (diagnostics.empty()) {
                if (errors.empty())
                    throw EDatabaseError("The statement failed.");
                break;
            }
            // A broken link ends the batch: nothing more will come.
            const bool linkLost =
                std::any_of(diagnostics.begin(), diagnostics.end(), [](const Diagnostic& d) {
                    return d.state.rfind("08", 0) == 0 || d.state == "HYT00" || d.state == "HY008";
                });
            errors.insert(errors.end(), diagnostics.begin(), diagnostics.end());
            if (linkLost)
                break;
        }
        rc = SQLMoreResults(stmt);
    }
    if (!errors.empty())
        throw EDatabaseError(ErrorText(errors, "The statement failed."));
}

}  // namespace engine::mssql
