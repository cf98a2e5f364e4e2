// Dynamic libraries, as the Windows loader offers them. A ".dll" here is a
// Linux shared object; a bare name is looked for in the executable's folder,
// then in C:\Windows\System32 of the workstation.
#pragma once

#include "platform/text.h"
#include "platform/win_types.h"

namespace platform {

struct ModuleTag;
using HMODULE = ModuleTag*;
using FARPROC = void (*)();

// Error-mode flags kept for the callers' shape; the value is process-wide.
constexpr UINT SEM_FAILCRITICALERRORS = 0x0001;
constexpr UINT SEM_NOGPFAULTERRORBOX = 0x0002;
constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;

// Sets the process's error mode and returns the previous one.
UINT SetErrorMode(UINT mode);

// Null when the library is not found or cannot be loaded; nothing is shown
// either way. A name without an extension gets ".dll", as on Windows.
HMODULE LoadLibraryA(const char* fileName);
// Null when the library does not export the name.
FARPROC GetProcAddress(HMODULE module, const char* procName);
BOOL FreeLibrary(HMODULE module);

// The host path LoadLibraryA would open for that name, empty when none.
AnsiString LibrarySearchPath(const AnsiString& fileName);

}  // namespace platform
