// Registers the real management objects (<build>/lib/sqldmo.dll) on the
// current workstation under "SQLDMO.Application".
#pragma once

#include <filesystem>

#include "platform/automation.h"
#include "platform/paths.h"
#include "tests/support/build_paths.h"

namespace testsupport {

inline constexpr platform::CLSID kSqlDmoClsid{
    0x10020100, 0xE260, 0x11CF, {0xAE, 0x68, 0x00, 0xAA, 0x00, 0x4A, 0x34, 0xD5}};

inline std::filesystem::path SqlDmoLibrary() {
    return BuildLibrary("sqldmo.dll");
}

inline void RegisterSqlDmo() {
    platform::RegisterComponent("SQLDMO.Application", kSqlDmoClsid,
                                platform::WindowsPath(SqlDmoLibrary()));
}

}  // namespace testsupport
