#include "settings/connection_settings.h"

#include <exception>

#include "settings/password_scrambling.h"

namespace settings {

engine::TStrings ProductAliasLines() {
    return {"USER NAME=sa", "BLOB SIZE=300", "BLOBS TO CACHE=10000", "LANGDRIVER=BLLT1FR0"};
}

engine::TStrings ConnectionLines(const AnsiString& serverName, const AnsiString& password) {
    return {"USER NAME=sa",         "PASSWORD=" + password, "BLOB SIZE=300",
            "BLOBS TO CACHE=10000", "DATABASE NAME=Master", "SERVER NAME=" + serverName,
            "LANGDRIVER=BLLT1FR0"};
}

bool WriteConnectionSettings(platform::TIniFile& ini, engine::TDatabase& database,
                             engine::TSession& session, const AnsiString& serverName,
                             const AnsiString& password) {
    // Cleared first, so that no failure below leaves an earlier call's lines.
    database.ClearParams();
    ini.WriteString(kMainSection, kServerNameKey, serverName);
    ini.WriteString(kMainSection, kPasswordKey, ScramblePassword(password));

    if (serverName.empty()) {
        // The product's own alias for a workstation set up by hand.
        const AnsiString alias = ini.ReadString(kKernelSection, kKernelAliasKey, "");
        if (alias.empty())
            return false;
        database.SetAliasName(alias);
        database.SetDatabaseName(alias);
        return true;
    }

    database.SetDatabaseName(kProductAlias);
    database.SetAliasName(kProductAlias);
    // An alias already there is used as it stands, even with other lines.
    if (!session.IsAlias(database.DatabaseName()))
        session.AddAlias(kProductAlias, "MSSQL", ProductAliasLines());
    for (const AnsiString& line : ConnectionLines(serverName, password))
        database.AddParam(line);
    return true;
}

bool ConfigureConnection(const AnsiString& programDir, engine::TDatabase& database,
                         AnsiString& databaseAlias, const SettingsWriter& write) {
    try {
        platform::TIniFile ini(programDir + kConfigFileName);
        if (!write(ini, database))
            return false;
        databaseAlias = database.DatabaseName();
        return true;
    } catch (const std::exception&) {
        // The caller tells the user that the database cannot be installed.
        return false;
    }
}

}  // namespace settings
