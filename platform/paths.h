// Drive-letter paths of the workstation. <workstation>/drives/<letter> (a
// folder or a symbolic link) is drive <LETTER>:. Windows names match
// case-insensitively on lookup, while names that are written keep their case.
// A host path outside every drive is expressed on Z:, which maps to the host
// root unless drives/z says otherwise.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/text.h"
#include "platform/workstation.h"

namespace platform {

// The full Windows form of a path: drive, backslashes, "." and ".." resolved;
// a relative path is taken from the current folder. Empty when the path has
// no drive form (UNC paths, unknown drive letters, empty text).
AnsiString ExpandFileName(const AnsiString& windowsPath,
                          const Workstation& ws = Workstation::Current());

// The host path of a Windows path (forward slashes accepted too). Each
// existing component is found without regard to case; components that do not
// exist are kept as written. Empty when the path cannot map: such a path
// simply does not exist.
std::optional<std::filesystem::path> HostPath(const AnsiString& windowsPath,
                                              const Workstation& ws = Workstation::Current());

// The Windows form of a host path: on the drive whose folder holds it
// (deepest first), else on Z:.
AnsiString WindowsPath(const std::filesystem::path& hostPath,
                       const Workstation& ws = Workstation::Current());

// True when a directory entry of that name exists and is not a folder.
bool FileExists(const AnsiString& windowsPath, const Workstation& ws = Workstation::Current());
bool DirectoryExists(const AnsiString& windowsPath, const Workstation& ws = Workstation::Current());

// The running executable's full path, in Windows form.
AnsiString ExecutableFileName(const Workstation& ws = Workstation::Current());

// Up to and including the last backslash or colon, as ExtractFilePath does.
AnsiString ExtractFilePath(const AnsiString& windowsPath);
// After the last backslash or colon.
AnsiString ExtractFileName(const AnsiString& windowsPath);

}  // namespace platform
