// The three texts that the handlers of one run share. Empty at start.
#pragma once

#include "platform/text.h"

namespace installer {

// The product's folder, ending in a backslash once set.
extern platform::AnsiString ProgramDir;
// The local SQL Server data folder, ending in a backslash once set.
extern platform::AnsiString SqlDataDir;
// The database name under which the installation's query reaches the server.
extern platform::AnsiString DatabaseAlias;

}  // namespace installer
