#include "engine/configuration.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/errors.h"
#include "engine/ini_text.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace engine {

namespace fs = std::filesystem;

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

// The whole file; empty when it does not exist.
std::string ReadText(const AnsiString& windowsPath) {
    const fs::path file = HostFile(windowsPath);
    std::error_code ec;
    if (!fs::exists(file, ec)) {
        return {};
    }
    if (!fs::is_regular_file(file, ec)) {
        throw EDatabaseError("The engine configuration file " + windowsPath + " is not a file.");
    }
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) {
        throw EDatabaseError("Cannot read the engine configuration file " + windowsPath + ": " +
                             std::strerror(errno) + ".");
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad()) {
        throw EDatabaseError("Cannot read the engine configuration file " + windowsPath + ".");
    }
    return bytes.str();
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
    ReadText(path_);
}

std::optional<Alias> Configuration::FindAlias(const AnsiString& name) const {
    if (name.empty())
        return std::nullopt;
    const auto entries = IniSection(ReadText(path_), kAliasPrefix + name);
    if (!entries)
        return std::nullopt;
    Alias alias{name, {}, {}};
    for (const IniEntry& e : *entries) {
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
    const std::string text = ReadText(path_);
    const AnsiString section = kDriverPrefix + driverName;
    if (auto v = IniValue(text, section, "ODBC DRIVER"); v && !v->empty())
        settings.odbcDriver = *v;
    if (auto v = IniValue(text, section, "LOGIN TIMEOUT"); v && !v->empty()) {
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
    if (auto v = IniValue(text, section, "ODBC ATTRIBUTES"))
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
        platform::FileLock lock(platform::LockFileFor(file));
        std::string text = ReadText(path_);
        if (IniSection(text, kAliasPrefix + alias.name)) {
            throw EDatabaseError("Duplicate alias name: " + alias.name + ".");
        }
        const bool crlf = text.empty() || text.find("\r\n") != std::string::npos;
        const char* eol = crlf ? "\r\n" : "\n";
        if (!text.empty() && text.back() != '\n')
            text += eol;
        if (!text.empty())
            text += eol;
        text += "[" + AnsiString(kAliasPrefix) + alias.name + "]" + eol;
        text += "DRIVER=" + alias.driver + eol;
        for (const AnsiString& line : alias.lines)
            text += line + eol;
        platform::WriteFileAtomically(file, text);
    } catch (const EDatabaseError&) {
        throw;
    } catch (const platform::Exception& e) {
        throw EDatabaseError("Cannot add the alias " + alias.name + ": " + e.Message());
    }
}

}  // namespace engine
