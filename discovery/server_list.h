// The SQL Servers that SQL Server's management objects report, shown in the
// main window's server list.
#pragma once

#include "platform/application.h"
#include "platform/text.h"
#include "platform/vcl_controls.h"

namespace discovery {

// The management objects' program identifier.
inline constexpr const char* kManagementObjects = "SQLDMO.Application";

// The warning shown before the program ends when the discovery fails.
platform::AnsiString DiscoveryFailedText();

// Fills `list` with the servers that the management objects report, a name
// containing "local" shown as the computer's name, and puts the first one
// into the box's own text. Any error shows the warning and ends the program
// through `application`. COM must be initialised on the calling thread.
void ListSqlServers(platform::TComboBox& list, platform::ApplicationServices& application);

// The computer's NetBIOS name, or empty text when the system gives none.
platform::AnsiString GetLocalComputerName();

}  // namespace discovery
