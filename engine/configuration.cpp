#include "engine/configuration.h"

#include <filesystem>

#include "engine/errors.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "platform/registry.h"

namespace engine {

namespace fs = std::filesystem;
using platform::ProfileDocument;
using platform::ProfileEntry;

namespace {

constexpr const char* kAliasPrefix = "Aliases\\";
constexpr const char* kDriverPrefix = "Drivers\\";

fs::path HostFile(const AnsiString& windowsPath) {
    const auto host = platform::HostPath(platform::ExpandFileName(windowsPath));
    if (!host) {
        throw EDatabaseError("The engine configuration file " + windowsPath +
                             " is not on a drive of this workstation.");
    }
    return *host;
}

// The file's document; nullopt when it does not exist.
std::optional<platform::ProfileDocument> ReadConfig(const AnsiString& windowsPath) {
    const fs::path file = HostFile(windowsPath);
    std::error_code ec;
    if (fs::exists(file, ec) && !fs::is_regular_file(file, ec)) {
        throw EDatabaseError("The engine configuration file " + windowsPath + " is not a file.");
    }
    try {
        return platform::ReadProfile(windowsPath);
    } catch (const platform::EOSError& e) {
        throw EDatabaseError(e.Message() + ".");  // it names the file and the reason
    }
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

void CheckStorable(const Alias& alias) {
    const auto blank = [](std::string_view s) {
        return s.find_first_not_of(" \t") == std::string_view::npos;
    };
    if (blank(alias.name) || HasLineBreak(alias.name) ||
        alias.name.find_first_of("[]") != AnsiString::npos ||
        alias.name.find('\0') != AnsiString::npos) {
        throw EDatabaseError("Invalid alias name: '" + alias.name + "'.");
    }
    if (!platform::AnsiSameText(alias.driver, "MSSQL")) {
        throw EDatabaseError("Driver not found: " + alias.driver + ".");
    }
    for (const AnsiString& line : alias.lines) {
        const auto eq = line.find('=');
        if (eq == AnsiString::npos || blank(line.substr(0, eq)) || HasLineBreak(line) ||
            line.find('\0') != AnsiString::npos) {
            throw EDatabaseError("Invalid alias parameter line: '" + line + "'.");
        }
    }
}

}  // namespace

Configuration Configuration::OfWorkstation() {
    std::optional<platform::RegValue> value;
    try {
        value =
            platform::QueryValue(platform::HKEY_LOCAL_MACHINE, kConfigRegistryKey, "ConfigFile");
    } catch (const platform::Exception& e) {
        throw EDatabaseError("Cannot start the database engine: " + e.Message());
    }
    if (value) {
        if (auto text = value->Text(); text && !text->empty())
            return Configuration(*text);
    }
    return Configuration(kDefaultConfigFile);
}

void Configuration::CheckReadable() const {
    ReadConfig(path_);
}

std::optional<Alias> Configuration::FindAlias(const AnsiString& name) const {
    if (name.empty())
        return std::nullopt;
    const auto config = ReadConfig(path_);
    const auto entries =
        config ? config->Section(kAliasPrefix + name) : std::optional<std::vector<ProfileEntry>>();
    if (!entries)
        return std::nullopt;
    Alias alias{name, {}, {}};
    for (const ProfileEntry& e : *entries) {
        if (platform::AnsiSameText(e.key, "DRIVER") && alias.driver.empty()) {
            alias.driver = e.value;
        } else {
            alias.lines.push_back(e.key + "=" + e.value);
        }
    }
    return alias;
}

DriverSettings Configuration::Driver(const AnsiString& driverName) const {
    DriverSettings settings;
    const platform::ProfileDocument config = ReadConfig(path_).value_or(ProfileDocument());
    const AnsiString section = kDriverPrefix + driverName;
    if (auto v = config.Value(section, "ODBC DRIVER"); v && !v->empty())
        settings.odbcDriver = *v;
    if (auto v = config.Value(section, "LOGIN TIMEOUT"); v && !v->empty()) {
        try {
            std::size_t used = 0;
            const int seconds = std::stoi(*v, &used);
            if (used != v->size() || seconds < 0)
                throw std::invalid_argument("negative");
            settings.loginTimeoutSeconds = seconds;
        } catch (const std::exception&) {
            throw EDatabaseError("Invalid LOGIN TIMEOUT in " + path_ + ": " + *v + ".");
        }
    }
    if (auto v = config.Value(section, "ODBC ATTRIBUTES"))
        settings.odbcAttributes = *v;
    return settings;
}

void Configuration::AddAlias(const Alias& alias) const {
    CheckStorable(alias);
    const fs::path file = HostFile(path_);
    try {
        std::error_code ec;
        fs::create_directories(file.parent_path(), ec);
        if (ec)
            throw platform::EOSError("Cannot create " + file.parent_path().string() + ": " +
                                     ec.message());
        // UpdateProfile serialises writers on the folder: two installers
        // adding the alias at once add it once.
        platform::UpdateProfile(path_, [&](ProfileDocument& config) {
            const AnsiString section = kAliasPrefix + alias.name;
            if (config.HasSection(section)) {
                throw EDatabaseError("Duplicate alias name: " + alias.name + ".");
            }
            std::vector<ProfileEntry> entries = {{"DRIVER", alias.driver}};
            for (const AnsiString& line : alias.lines) {
                const auto eq = line.find('=');
                entries.push_back({line.substr(0, eq), line.substr(eq + 1)});
            }
            // All of the alias in one replacement of the file.
            config.AddSection(section, entries);
        });
    } catch (const EDatabaseError&) {
        throw;
    } catch (const platform::Exception& e) {
        throw EDatabaseError("Cannot add the alias " + alias.name + ": " + e.Message());
    }
}

}  // namespace engine
