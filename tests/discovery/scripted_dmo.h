// Registers the scripted management objects (scripted_dmo.cpp) on the
// current workstation, through the same registry route as the real ones.
#pragma once

#include <cstdlib>
#include <filesystem>

#include "platform/automation.h"
#include "platform/paths.h"

namespace testsupport {

inline constexpr platform::CLSID kScriptedDmoClsid{
    0x5C1A7E00, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD1}};

// <build>/lib/scripted_dmo.dll, found from the executables' folder.
inline std::filesystem::path ScriptedDmoLibrary() {
    const char* bin = std::getenv("QUILL_BIN_DIR");
    const std::filesystem::path dir =
        bin != nullptr && *bin != '\0'
            ? std::filesystem::path(bin)
            : std::filesystem::read_symlink("/proc/self/exe").parent_path();
    return (dir.parent_path() / "lib" / "scripted_dmo.dll").lexically_normal();
}

inline void RegisterScriptedDmo(const char* progId = "SQLDMO.Application") {
    platform::RegisterComponent(progId, kScriptedDmoClsid,
                                platform::WindowsPath(ScriptedDmoLibrary()));
}

}  // namespace testsupport
