// INI files, as the private-profile functions read and write them: any bytes
// give themselves back unchanged, and a write reads back, also from the
// bytes it produced.
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

namespace {

using platform::ProfileDocument;
using quillfuzz::Require;

// What a stored value reads back as: blank-trimmed, one pair of quotes off.
std::string ReadForm(std::string_view v) {
    const auto first = v.find_first_not_of(" \t");
    v = first == std::string_view::npos ? std::string_view() : v.substr(first);
    v = v.substr(0, v.find_last_not_of(" \t") + 1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
    }
    return std::string(v);
}

// Text of the input between two characters, so that writes reach the
// sections and keys the input has.
std::string_view Between(std::string_view s, std::string_view open, char close) {
    const auto start = s.find_first_of(open);
    if (start == std::string_view::npos) {
        return {};
    }
    s.remove_prefix(start + 1);
    return s.substr(0, s.find(close));
}

void CheckReread(const ProfileDocument& doc) {
    const std::string bytes = doc.Bytes();
    Require(ProfileDocument::Parse(bytes).Bytes() == bytes, "an edited document reads back whole");
}

void CheckWrite(const ProfileDocument& original, std::string_view section, std::string_view key,
                std::string_view value) {
    ProfileDocument doc = original;
    try {
        doc.SetValue(section, key, value);
    } catch (const platform::EOSError&) {
        Require(doc.Bytes() == original.Bytes(), "a refused write changes nothing");
        return;
    }
    const std::string expected = ReadForm(value);
    Require(doc.Value(section, key) == expected, "a written value reads back");
    CheckReread(doc);
    Require(ProfileDocument::Parse(doc.Bytes()).Value(section, key) == expected,
            "a written file reads back the value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = quillfuzz::Bytes(data, size);
    const ProfileDocument doc = ProfileDocument::Parse(bytes);
    Require(doc.Bytes() == bytes, "an unchanged document gives back its bytes");

    const std::string_view section = Between(bytes, "[", ']');
    const std::string_view key = Between(bytes, "\n", '=');
    const std::string_view value = Between(bytes, "=", '\n');
    for (std::string_view s : {std::string_view("A"), section}) {
        for (std::string_view k : {std::string_view("k"), key}) {
            CheckWrite(doc, s, k, "fuzz value");
            CheckWrite(doc, s, k, value);
        }
    }

    ProfileDocument edited = doc;
    edited.RemoveKey(section, key);
    CheckReread(edited);
    edited.RemoveSection(section);
    CheckReread(edited);
    try {
        edited.AddSection("New", {{"k", "1"}, {std::string(key), std::string(value)}});
        Require(edited.Value("New", "k") == "1", "an added section reads back");
        CheckReread(edited);
    } catch (const platform::EOSError&) {
    }
    return 0;
}
