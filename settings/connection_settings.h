// The connection to the chosen server, recorded for the product in its
// Config.ini and prepared on the window's database component, with the
// engine alias that the product's connections go through.
#pragma once

#include <functional>

#include "engine/engine.h"
#include "platform/profile.h"
#include "platform/text.h"

namespace settings {

using platform::AnsiString;

inline constexpr const char* kConfigFileName = "Config.ini";
inline constexpr const char* kProductAlias = "Quillorant_SQL";

// Config.ini's keys.
inline constexpr const char* kMainSection = "Main";
inline constexpr const char* kServerNameKey = "SQLServerName";
inline constexpr const char* kPasswordKey = "SAPWD";
inline constexpr const char* kKernelSection = "DBKERNEL";
inline constexpr const char* kKernelAliasKey = "Alias";

// The alias's stored lines: no server and no password, which each
// connection gives in its own lines.
engine::TStrings ProductAliasLines();
// The database component's lines for the sa login to the server's Master.
engine::TStrings ConnectionLines(const AnsiString& serverName, const AnsiString& password);

// Writes the server name and the scrambled password to Config.ini, then
// prepares the component: through the product alias (added to the engine
// when missing) for a server name, through Config.ini's [DBKERNEL] Alias for
// an empty one. False when an empty server name finds no such alias.
// Errors of the file and of the engine pass through; nothing is undone.
bool WriteConnectionSettings(platform::TIniFile& ini, engine::TDatabase& database,
                             engine::TSession& session, const AnsiString& serverName,
                             const AnsiString& password);

using SettingsWriter = std::function<bool(platform::TIniFile&, engine::TDatabase&)>;

// One INI object for <programDir>Config.ini, handed to `write`; on success
// databaseAlias takes the component's DatabaseName. Never raises: every
// error is the result false, with databaseAlias left as it was.
bool ConfigureConnection(const AnsiString& programDir, engine::TDatabase& database,
                         AnsiString& databaseAlias, const SettingsWriter& write);

}  // namespace settings
