// The few Windows scalar types that the program's calls keep in their shape.
#pragma once

#include <cstdint>

namespace platform {

using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using BOOL = int;
constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

}  // namespace platform
