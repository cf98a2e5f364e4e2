#include "engine/ini_text.h"

namespace engine {

namespace {

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

template <typename OnLine>
void ForEachLine(std::string_view text, OnLine onLine) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!onLine(line))
            return;
        if (end == std::string_view::npos)
            return;
        text.remove_prefix(end + 1);
    }
}

}  // namespace

std::optional<std::vector<IniEntry>> IniSection(std::string_view text, std::string_view section) {
    std::optional<std::vector<IniEntry>> entries;
    bool inside = false;
    ForEachLine(text, [&](std::string_view raw) {
        const std::string_view line = Trim(raw);
        if (!line.empty() && line.front() == '[') {
            if (inside)
                return false;  // the first section of that name wins
            const auto close = line.find(']');
            const std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            inside = platform::AnsiSameText(name, section);
            if (inside)
                entries.emplace();
            return true;
        }
        if (!inside || line.empty() || line.front() == ';')
            return true;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos)
            return true;
        entries->push_back(
            {AnsiString(Trim(line.substr(0, eq))), AnsiString(Trim(line.substr(eq + 1)))});
        return true;
    });
    return entries;
}

std::optional<AnsiString> IniValue(std::string_view text, std::string_view section,
                                   std::string_view key) {
    const auto entries = IniSection(text, section);
    if (!entries)
        return std::nullopt;
    for (const IniEntry& e : *entries) {
        if (platform::AnsiSameText(e.key, key))
            return e.value;
    }
    return std::nullopt;
}

}  // namespace engine
