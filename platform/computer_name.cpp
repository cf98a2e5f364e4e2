#include "platform/computer_name.h"

#include <unistd.h>

#include <climits>
#include <cstring>
#include <optional>

#include "platform/registry.h"

namespace platform {
namespace {

constexpr const char* kKey = "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

// The name, or nothing when it cannot be had.
std::optional<AnsiString> ComputerName() {
    std::optional<RegValue> value;
    try {
        value = QueryValue(HKEY_LOCAL_MACHINE, kKey, "ComputerName");
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (value) {
        const auto text = value->type == REG_SZ ? value->Text() : std::nullopt;
        if (!text || text->empty()) {
            return std::nullopt;
        }
        return *text;
    }
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return std::nullopt;
    }
    AnsiString name = ComputerNameOfHost(host);
    if (name.empty()) {
        return std::nullopt;
    }
    return name;
}

}  // namespace

AnsiString ComputerNameOfHost(std::string_view hostName) {
    AnsiString name = AnsiUpperCase(Utf8ToAnsi(hostName.substr(0, hostName.find('.'))));
    if (name.size() > MAX_COMPUTERNAME_LENGTH) {
        name.resize(MAX_COMPUTERNAME_LENGTH);
    }
    return name;
}

BOOL GetComputerNameA(char* buffer, DWORD* size) {
    if (size == nullptr) {
        return FALSE;
    }
    const auto name = ComputerName();
    if (!name) {
        return FALSE;
    }
    const auto needed = static_cast<DWORD>(name->size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return FALSE;
    }
    std::memcpy(buffer, name->c_str(), needed);
    *size = needed - 1;
    return TRUE;
}

}  // namespace platform
