#include "engine/engine.h"

#include <sys/stat.h>

#include <algorithm>

#include "engine/mssql_driver.h"
#include "platform/paths.h"

namespace engine {

namespace {

std::vector<TDatabase*>& Databases() {
    static std::vector<TDatabase*> databases;
    return databases;
}

AnsiString Trim(const AnsiString& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == AnsiString::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

void CheckFolder(const AnsiString& dir) {
    if (!dir.empty() && !platform::DirectoryExists(dir)) {
        throw EDatabaseError("Directory not found: " + dir);
    }
}

// Temporary files go to the private folder: one that may not be written to,
// judged by its mode as the registry's access is, is refused.
void CheckPrivateFolder(const AnsiString& dir) {
    CheckFolder(dir);
    if (dir.empty())
        return;
    const auto host = platform::HostPath(platform::ExpandFileName(dir));
    struct stat st {};
    if (!host || stat(host->c_str(), &st) != 0 || (st.st_mode & S_IWUSR) == 0) {
        throw EDatabaseError("Directory is read-only: " + dir);
    }
}

struct Parameter {
    AnsiString name;
    AnsiString value;
};

Parameter Split(const AnsiString& line) {
    const auto eq = line.find('=');
    if (eq == AnsiString::npos || Trim(line.substr(0, eq)).empty()) {
        throw EDatabaseError("Invalid parameter line: '" + line + "'.");
    }
    return {platform::AnsiUpperCase(Trim(line.substr(0, eq))), line.substr(eq + 1)};
}

// Later lines override earlier ones of the same name.
void Merge(std::vector<Parameter>& into, const TStrings& lines) {
    for (const AnsiString& line : lines) {
        Parameter p = Split(line);
        auto same = std::find_if(into.begin(), into.end(),
                                 [&](const Parameter& q) { return q.name == p.name; });
        if (same != into.end()) {
            same->value = std::move(p.value);
        } else {
            into.push_back(std::move(p));
        }
    }
}

// The language drivers of the Latin-1 family all mean the Windows-1252 code
// page on the client side.
AnsiString ClientCharset(const AnsiString& langDriver) {
    const AnsiString name = platform::AnsiUpperCase(Trim(langDriver));
    if (name.empty() || name.rfind("BLLT1", 0) == 0 || name == "DBWINUS0" || name == "DBWINWE0" ||
        name == "'ASCII' ANSI") {
        return "CP1252";
    }
    throw EDatabaseError("Language driver not available: " + langDriver + ".");
}

bool IsWholeNumber(const AnsiString& value) {
    const AnsiString v = Trim(value);
    return !v.empty() &&
           std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

mssql::ConnectionSettings SettingsOf(const std::vector<Parameter>& parameters) {
    mssql::ConnectionSettings settings;
    for (const Parameter& p : parameters) {
        if (p.name == "SERVER NAME") {
            settings.server = p.value;
        } else if (p.name == "DATABASE NAME") {
            settings.database = p.value;
        } else if (p.name == "USER NAME") {
            settings.user = p.value;
        } else if (p.name == "PASSWORD") {
            settings.password = p.value;
        } else if (p.name == "LANGDRIVER") {
            settings.clientCharset = ClientCharset(p.value);
        } else if (p.name == "BLOB SIZE" || p.name == "BLOBS TO CACHE") {
            // Accepted: nothing here reads large objects.
            if (!IsWholeNumber(p.value)) {
                throw EDatabaseError("Invalid value for " + p.name + ": " + p.value + ".");
            }
        }
    }
    return settings;
}

}  // namespace

TSession& Session() {
    static TSession session("Default");
    return session;
}

void TSession::SetNetFileDir(const AnsiString& dir) {
    CheckFolder(dir);
    netFileDir_ = dir;
}

void TSession::SetPrivateDir(const AnsiString& dir) {
    CheckPrivateFolder(dir);
    privateDir_ = dir;
}

Configuration TSession::Config() const {
    return Configuration::OfWorkstation();
}

void TSession::Start() {
    try {
        Config().CheckReadable();
        CheckFolder(netFileDir_);
        CheckFolder(privateDir_);
    } catch (const EDatabaseError& e) {
        throw EDatabaseError("Cannot start the database engine: " + e.Message());
    }
    started_ = true;
}

bool TSession::IsAlias(const AnsiString& name) {
    Start();
    return !name.empty() && Config().FindAlias(name).has_value();
}

void TSession::AddAlias(const AnsiString& name, const AnsiString& driver, const TStrings& lines) {
    Start();
    Config().AddAlias({name, driver, lines});
}

TDatabase::TDatabase(platform::TComponent* owner) : TComponent(owner) {
    Databases().push_back(this);
}

TDatabase::~TDatabase() {
    auto& all = Databases();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

TDatabase* TDatabase::Find(const AnsiString& sessionName, const AnsiString& databaseName) {
    for (TDatabase* db : Databases()) {
        if (platform::AnsiSameText(db->SessionName, sessionName) &&
            platform::AnsiSameText(db->DatabaseName(), databaseName)) {
            return db;
        }
    }
    return nullptr;
}

void TDatabase::CheckInactive(const char* what) const {
    if (Connected()) {
        throw EDatabaseError(AnsiString("Cannot change ") + what + " of the connected database " +
                             databaseName_ + ".");
    }
}

void TDatabase::ClearParams() {
    CheckInactive("Params");
    params_.clear();
}

void TDatabase::AddParam(const AnsiString& line) {
    CheckInactive("Params");
    params_.push_back(line);
}

void TDatabase::SetAliasName(const AnsiString& name) {
    CheckInactive("AliasName");
    aliasName_ = name;
}

void TDatabase::SetDatabaseName(const AnsiString& name) {
    CheckInactive("DatabaseName");
    databaseName_ = name;
}

void TDatabase::SetConnected(bool connected) {
    if (!connected) {
        connection_.reset();
        return;
    }
    if (Connected())
        return;
    TSession& session = Session();
    if (!platform::AnsiSameText(SessionName, session.SessionName())) {
        throw EDatabaseError("Unknown session: " + SessionName + ".");
    }
    session.Start();
    const Configuration config = session.Config();

    AnsiString driver = DriverName;
    std::vector<Parameter> parameters;
    if (!aliasName_.empty()) {
        const auto alias = config.FindAlias(aliasName_);
        if (!alias)
            throw EDatabaseError("Unknown alias: " + aliasName_ + ".");
        driver = alias->driver;
        Merge(parameters, alias->lines);
    }
    if (!platform::AnsiSameText(driver, "MSSQL")) {
        throw EDatabaseError("Driver not found: " + driver + ".");
    }
    Merge(parameters, params_);
    mssql::ConnectionSettings settings = SettingsOf(parameters);
    connection_ = std::make_unique<mssql::Connection>(config.Driver("MSSQL"), settings);
    for (Parameter& p : parameters)
        std::fill(p.value.begin(), p.value.end(), '\0');
    std::fill(settings.password.begin(), settings.password.end(), '\0');
}

void TDatabase::Execute(const AnsiString& sql) {
    if (!Connected())
        throw EDatabaseError("The database " + databaseName_ + " is not connected.");
    connection_->Execute(sql);
}

void TQuery::SetDatabaseName(const AnsiString& name) {
    if (active_)
        throw EDatabaseError("Cannot change DatabaseName of an open query.");
    databaseName_ = name;
}

void TQuery::ExecSQL() {
    AnsiString text;
    for (std::size_t i = 0; i < SQL.size(); ++i)
        text += (i ? "\r\n" : "") + SQL[i];
    if (Trim(text).find_first_not_of("\r\n") == AnsiString::npos) {
        throw EDatabaseError("No SQL statement available.");
    }
    if (databaseName_.empty())
        throw EDatabaseError("The query has no DatabaseName.");
    TDatabase* database = TDatabase::Find(SessionName, databaseName_);
    if (database == nullptr)
        throw EDatabaseError("Unknown database: " + databaseName_ + ".");
    if (!database->Connected())
        database->SetConnected(true);
    database->Execute(text);
}

}  // namespace engine
