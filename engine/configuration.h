// The engine's configuration: one INI file on the workstation holding the
// drivers' settings and the persistent aliases.
//
//   [Drivers\MSSQL]
//   ODBC DRIVER=FreeTDS          ; the ODBC driver's name (odbcinst.ini)
//   LOGIN TIMEOUT=15             ; seconds
//   ODBC ATTRIBUTES=             ; extra connection-string attributes
//
//   [Aliases\Quillorant_SQL]
//   DRIVER=MSSQL
//   USER NAME=sa
//   ...
//
// Its place is the registry value HKLM\SOFTWARE\Quillorant\Database Engine
// "ConfigFile" (a Windows path), else kDefaultConfigFile. The file is read
// anew at each use, so an alias added by another process is seen at once.
#pragma once

#include <optional>
#include <vector>

#include "platform/text.h"

namespace engine {

using platform::AnsiString;
using TStrings = std::vector<AnsiString>;

inline constexpr const char* kDefaultConfigFile =
    "C:\\ProgramData\\Quillorant\\Database Engine\\engine.ini";
inline constexpr const char* kConfigRegistryKey = "SOFTWARE\\Quillorant\\Database Engine";

struct Alias {
    AnsiString name;
    AnsiString driver;
    TStrings lines;  // NAME=value
};

struct DriverSettings {
    AnsiString odbcDriver = "FreeTDS";
    int loginTimeoutSeconds = 15;
    AnsiString odbcAttributes;
};

class Configuration {
  public:
    // The configuration named by the registry, else the default one.
    static Configuration OfWorkstation();
    explicit Configuration(AnsiString windowsPath) : path_(std::move(windowsPath)) {}

    const AnsiString& Path() const { return path_; }

    // Raises EDatabaseError when the file exists but cannot be read; a
    // missing file is an empty configuration.
    void CheckReadable() const;
    std::optional<Alias> FindAlias(const AnsiString& name) const;
    DriverSettings Driver(const AnsiString& driverName) const;

    // Appends the alias's section under its folder's lock. The file (and its
    // folder) is created when missing; on any failure it is left as it was.
    void AddAlias(const Alias& alias) const;

  private:
    AnsiString path_;
};

}  // namespace engine
