// The computer's NetBIOS name, as Windows' GetComputerNameA gives it.
#pragma once

#include <string_view>

#include "platform/text.h"
#include "platform/win_types.h"

namespace platform {

constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;

// HKLM\SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName, value
// "ComputerName" (REG_SZ) when present; otherwise ComputerNameOfHost of the
// host name. FALSE when that value is empty or not a REG_SZ, when the hive
// cannot be read, or when the buffer is too small: *size is then the length
// needed, NUL included. On success *size is the length without the NUL.
BOOL GetComputerNameA(char* buffer, DWORD* size);

// The name Windows gives a host name: cut at its first dot, in capitals, at
// most MAX_COMPUTERNAME_LENGTH characters.
AnsiString ComputerNameOfHost(std::string_view hostName);

}  // namespace platform
