// Registers the real management objects (<build>/lib/sqldmo.dll) on the
// current workstation under "SQLDMO.Application".
#pragma once

#include <cstdlib>
#include <filesystem>

#include "platform/automation.h"
#include "platform/paths.h"

namespace testsupport {

inline constexpr platform::CLSID kSqlDmoClsid{
    0x10020100, 0xE260, 0x11CF, {0xAE, 0x68, 0x00, 0xAA, 0x00, 0x4A, 0x34, 0xD5}};

inline std::filesystem::path SqlDmoLibrary() {
    const char* bin = std::getenv("QUILL_BIN_DIR");
    const std::filesystem::path dir =
        bin != nullptr && *bin != '\0'
            ? std::filesystem::path(bin)
            : std::filesystem::read_symlink("/proc/self/exe").parent_path();
    return (dir.parent_path() / "lib" / "sqldmo.dll").lexically_normal();
}

inline void RegisterSqlDmo() {
    platform::RegisterComponent("SQLDMO.Application", kSqlDmoClsid,
                                platform::WindowsPath(SqlDmoLibrary()));
}

}  // namespace testsupport
