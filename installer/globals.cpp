#include "installer/globals.h"

namespace installer {

platform::AnsiString ProgramDir;
platform::AnsiString SqlDataDir;
platform::AnsiString DatabaseAlias;

}  // namespace installer
