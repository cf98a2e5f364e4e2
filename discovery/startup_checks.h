// The checks that run while the main window is created: the SQL Server data
// folder, the product's folder and its registration, the engine's folders,
// then the server list. A failed check tells the user and ends the program;
// any other error leaves the checks where it happened, for the application's
// standard error box.
#pragma once

#include "engine/engine.h"
#include "platform/application.h"
#include "platform/text.h"
#include "platform/vcl_controls.h"
#include "platform/vcl_form.h"
#include "platform/workstation.h"

namespace discovery {

using platform::AnsiString;

inline constexpr const char* kSqlSetupKey = "\\SOFTWARE\\Microsoft\\MSSQLServer\\Setup";
inline constexpr const char* kSqlPathValue = "SQLPath";
inline constexpr const char* kSqlDataSubfolder = "Data\\";
inline constexpr const char* kDefaultSqlDataDir = "C:\\Sorvendale\\Base\\";
inline constexpr const char* kProductRegistrationKey =
    "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillorant.exe";
inline constexpr const char* kProductPathValue = "Path";
inline constexpr const char* kProductExecutable = "Quillorant.exe";
inline constexpr const char* kDefaultProductExecutable =
    "C:\\Sorvendale\\Quillorant\\Quillorant.exe";
inline constexpr const char* kDefaultProductDir = "C:\\Sorvendale\\Quillorant\\";
inline constexpr const char* kEngineNetFileDir = "C:\\";

// The path with one backslash after it, unless it is empty or already ends
// in one. Only the last character counts.
AnsiString WithTrailingBackslash(const AnsiString& path);

// The error shown when the registration names a folder without the product.
AnsiString ProductMovedText(const AnsiString& programDir);
// The warning shown when the product cannot be found at all.
AnsiString ReinstallText();

// What the checks work on; the workstation gives the registry and the files.
struct StartupContext {
    platform::ApplicationServices& application;
    platform::TForm& window;  // its cursor shows that the checks run
    platform::TComboBox& serverList;
    engine::TSession& session;
    const platform::Workstation& workstation;
};

// The two folders the rest of the run appends file names to. Each is set as
// soon as it is known, so that an error further on leaves it set.
struct StartupFolders {
    AnsiString& sqlDataDir;
    AnsiString& programDir;
};

void RunStartupChecks(const StartupContext& context, const StartupFolders& folders);

}  // namespace discovery
