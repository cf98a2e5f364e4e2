// Registers the scripted management objects (scripted_dmo.cpp) on the
// current workstation, through the same registry route as the real ones.
#pragma once

#include <filesystem>

#include "platform/automation.h"
#include "platform/paths.h"
#include "tests/support/build_paths.h"

namespace testsupport {

inline constexpr platform::CLSID kScriptedDmoClsid{
    0x5C1A7E00, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD1}};

inline std::filesystem::path ScriptedDmoLibrary() {
    return BuildLibrary("scripted_dmo.dll");
}

inline void RegisterScriptedDmo(const char* progId = "SQLDMO.Application") {
    platform::RegisterComponent(progId, kScriptedDmoClsid,
                                platform::WindowsPath(ScriptedDmoLibrary()));
}

}  // namespace testsupport
