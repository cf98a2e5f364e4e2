// A small reader of INI text, as the private-profile functions read it:
// section and key names match without regard to case, the first occurrence
// wins, blanks around names and values are trimmed.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace engine {

using platform::AnsiString;

struct IniEntry {
    AnsiString key;
    AnsiString value;
};

// The entries of a section in file order, empty when it is missing.
std::optional<std::vector<IniEntry>> IniSection(std::string_view text, std::string_view section);
std::optional<AnsiString> IniValue(std::string_view text, std::string_view section,
                                   std::string_view key);

}  // namespace engine
