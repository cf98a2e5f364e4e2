// How the management objects find SQL Servers: the SQL Server Resolution
// Protocol (SSRP) over UDP, asked of the browse targets of their own
// configuration, with the answers of one browse kept for a few seconds.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace sqldmo {

using platform::AnsiString;

// The configuration key under HKEY_LOCAL_MACHINE.
inline constexpr const char* kConfigKey = "SOFTWARE\\Quillorant\\SQLDMO";
inline constexpr std::uint16_t kBrowserPort = 1434;

struct BrowseTarget {
    AnsiString text;  // as configured, "host[:port]"
    AnsiString host;
    std::uint16_t port = kBrowserPort;

    bool operator==(const BrowseTarget&) const = default;
};

struct BrowseConfig {
    std::vector<BrowseTarget> targets;
    int timeoutMs = 1000;
    bool broadcast = false;
    int cacheSeconds = 5;

    bool operator==(const BrowseConfig&) const = default;
};

// Thrown for a configuration that cannot be used; the text says which value.
struct ConfigError {
    AnsiString message;
};

// "host[:port]" entries separated by ';', ',' or blanks. Throws ConfigError.
std::vector<BrowseTarget> ParseTargets(std::string_view text);

// The configuration stored under kConfigKey of the current workstation:
// "BrowseTargets" (REG_SZ, default "127.0.0.1:1434"), "TimeoutMs" (REG_DWORD,
// 1 to 60000, default 1000), "Broadcast" (REG_DWORD, 0 or 1, default 0),
// "CacheSeconds" (REG_DWORD, 0 to 300, default 5). Throws ConfigError.
BrowseConfig ReadConfig();

// One instance from a server's answer.
struct Instance {
    AnsiString serverName;
    AnsiString instanceName;

    bool operator==(const Instance&) const = default;
};

// The instances of one SVR_RESP datagram, or nothing when it is not one:
// wrong type, a length that does not match the datagram, a record that is
// not key;value pairs ending in ";;", a record without ServerName or
// InstanceName, a name too long or holding control characters or '\'.
std::optional<std::vector<Instance>> ParseServerResponse(std::string_view datagram);

// The name under which an instance is listed: "SERVER" for a default
// instance (MSSQLSERVER), "SERVER\INSTANCE" otherwise; an instance of this
// computer is "(local)" for its default instance and listed under
// `computerName` otherwise.
AnsiString ListedName(const Instance& instance, const AnsiString& computerName);

// The answers gathered from the targets, in the targets' order, as listed
// names without duplicates (compared without regard to case).
struct BrowseResult {
    std::vector<AnsiString> names;
    int answered = 0;  // targets that gave a valid answer
};

// Sends CLNT_UCAST_EX to every target at once (and CLNT_BCAST_EX when the
// configuration asks for a broadcast) and gathers the answers until every
// target has answered or the timeout has passed. Answers from an address
// and port that was not asked are ignored. Never throws for network
// trouble: an unreachable target simply does not answer.
BrowseResult Browse(const BrowseConfig& config, const AnsiString& computerName);

// The browse of this process on the current workstation: done once, with
// the configuration and computer name read then, and answered from memory
// for the configuration's CacheSeconds afterwards, so that the many requests
// of one listing cost one network round and no further registry reading.
// A configuration changed meanwhile is seen once that time has passed.
BrowseResult CachedBrowse(const std::function<BrowseConfig()>& readConfig,
                          const std::function<AnsiString()>& computerName);

// Network rounds (calls of Browse) made by this process.
int BrowseRounds();

}  // namespace sqldmo
