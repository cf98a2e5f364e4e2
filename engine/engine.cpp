#include "engine/engine.h"

namespace engine {

using namespace platform::literals;

TSession& Session() {
    static TSession session("Default");
    return session;
}

void TDatabase::CheckInactive(const char* what) const {
    if (connected_) {
        throw EDatabaseError(AnsiString("Impossible de modifier ") + what +
                             " d'une base de données connectée."_ansi);
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
        connected_ = false;
        return;
    }
    if (!connected_) {
        throw EDatabaseError("Le pilote MSSQL n'est pas encore disponible."_ansi);
    }
}

void TQuery::SetDatabaseName(const AnsiString& name) {
    if (active_) {
        throw EDatabaseError("Impossible de modifier DatabaseName d'une requête ouverte."_ansi);
    }
    databaseName_ = name;
}

void TQuery::ExecSQL() {
    throw EDatabaseError("Le pilote MSSQL n'est pas encore disponible."_ansi);
}

}  // namespace engine
