// Random INI files and random writes: the result must be the file's own
// bytes with only the written line changed or added, and read back the value.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "tests/platform/profile/read_form.h"

using namespace platform;
using namespace platform::literals;

namespace {

enum class Kind { kBlank, kComment, kText, kSection, kKey };
enum class Encoding { kAnsi, kUtf8, kUtf16 };

struct GenLine {
    Kind kind;
    std::string content;  // Windows-1252
    std::string eol;
    std::string name;         // the section's or key's name as read
    std::size_t valueAt = 0;  // after the key's '='
};

std::string Encode(std::string_view ansi, Encoding e) {
    if (e == Encoding::kAnsi) {
        return std::string(ansi);
    }
    if (e == Encoding::kUtf8) {
        return AnsiToUtf8(ansi);
    }
    std::string out;
    for (char c : ansi) {
        const char32_t u = AnsiCharToUnicode(static_cast<unsigned char>(c));
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

std::string FileBytes(const std::vector<GenLine>& lines, Encoding e) {
    std::string out = e == Encoding::kUtf8    ? "\xEF\xBB\xBF"
                      : e == Encoding::kUtf16 ? "\xFF\xFE"
                                              : "";
    for (const GenLine& l : lines) {
        out += Encode(l.content + l.eol, e);
    }
    return out;
}

using testsupport::ReadForm;

class Generator {
  public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool OneIn(int n) { return Below(n) == 0; }
    template <typename T>
    const T& Pick(const std::vector<T>& v) {
        return v[static_cast<std::size_t>(Below(static_cast<int>(v.size())))];
    }

    std::string Pad() { return Pick<std::string>({"", "", " ", "\t", "  \t"}); }
    std::string Section() { return Pick(sections_); }
    std::string Key() { return Pick(keys_); }
    std::string Value() {
        std::string v;
        const int n = Below(8);
        for (int i = 0; i < n; ++i) {
            v += Pick(valueChars_);
        }
        if (OneIn(6)) {
            v = "\"" + v + "\"";
        } else if (OneIn(8)) {
            v = "'" + v;
        }
        return v;
    }
    std::string Text() {
        std::string t(1, static_cast<char>('a' + Below(26)));
        const int n = Below(6);
        for (int i = 0; i < n; ++i) {
            t += Pick<std::string>({"x", " ", "]", "[", ";", "é"_ansi, "\xA0"});
        }
        return t;
    }

    GenLine Line(Kind kind) {
        GenLine l{kind, {}, {}, {}, 0};
        switch (kind) {
            case Kind::kBlank:
                l.content = Pad();
                break;
            case Kind::kComment:
                l.content = Pad() + ";" + (OneIn(2) ? Key() + "=" + Value() : Text());
                break;
            case Kind::kText:
                l.content = Pad() + Text();
                break;
            case Kind::kSection:
                l.name = Section();
                l.content =
                    Pad() + "[" + Pad() + l.name + Pad() + "]" + (OneIn(5) ? " ; x" : Pad());
                break;
            case Kind::kKey:
                l.name = Key();
                l.content = Pad() + l.name + Pad() + "=";
                l.valueAt = l.content.size();
                l.content += Pad() + Value() + Pad();
                break;
        }
        return l;
    }

    Kind BodyKind() {
        return Pick<Kind>(
            {Kind::kKey, Kind::kKey, Kind::kKey, Kind::kBlank, Kind::kComment, Kind::kText});
    }

    std::vector<GenLine> File() {
        std::vector<GenLine> lines;
        for (int i = Below(3); i > 0; --i) {
            lines.push_back(Line(BodyKind()));
        }
        for (int s = Below(5); s > 0; --s) {
            lines.push_back(Line(Kind::kSection));
            for (int i = Below(6); i > 0; --i) {
                lines.push_back(Line(BodyKind()));
            }
        }
        const std::string style = OneIn(2) ? "\r\n" : "\n";
        for (GenLine& l : lines) {
            l.eol = OneIn(10) ? (style == "\n" ? "\r\n" : "\n") : style;
        }
        if (!lines.empty() && OneIn(3)) {
            lines.back().eol.clear();
            if (lines.back().content.empty()) {
                lines.pop_back();  // no bytes: no line
            }
        }
        return lines;
    }

    std::mt19937& Rng() { return rng_; }

  private:
    std::mt19937 rng_;
    std::vector<std::string> sections_ = {"Alpha",    "ALPHA",      "Été"_ansi,
                                          "éTÉ"_ansi, "Beta Gamma", "x"};
    std::vector<std::string> keys_ = {"k", "K", "clé"_ansi, "CLÉ"_ansi, "Name", "a b", "z"};
    std::vector<std::string> valueChars_ = {"v", "1", " ",      "=",      ";",    "\"", "'",
                                            "[", "]", "é"_ansi, "€"_ansi, "\xFF", "\t"};
};

// Where the model says a key is: the first section of the name, its extent
// up to the next header, the first key of the name inside it.
struct Place {
    std::optional<std::size_t> header;
    std::size_t end = 0;
    std::optional<std::size_t> key;
};

Place Find(const std::vector<GenLine>& lines, const std::string& section, const std::string& key) {
    Place p;
    for (std::size_t i = 0; i < lines.size() && !p.header; ++i) {
        if (lines[i].kind == Kind::kSection && AnsiSameText(lines[i].name, section)) {
            p.header = i;
        }
    }
    if (!p.header) {
        return p;
    }
    p.end = *p.header + 1;
    while (p.end < lines.size() && lines[p.end].kind != Kind::kSection) {
        if (!p.key && lines[p.end].kind == Kind::kKey && AnsiSameText(lines[p.end].name, key)) {
            p.key = p.end;
        }
        ++p.end;
    }
    return p;
}

TEST(ProfilePropertyTest, RandomWritesChangeOnlyTheirLine) {
    Generator gen(20240611);
    for (int run = 0; run < 3000; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const Encoding enc = gen.Pick<Encoding>(
            {Encoding::kAnsi, Encoding::kAnsi, Encoding::kUtf8, Encoding::kUtf16});
        std::vector<GenLine> lines = gen.File();
        const std::string before = FileBytes(lines, enc);
        ProfileDocument doc = ProfileDocument::Parse(before);
        ASSERT_EQ(doc.Bytes(), before);

        // A lookup agrees with the model.
        {
            const std::string section = gen.Section();
            const std::string key = gen.Key();
            const Place p = Find(lines, section, key);
            const std::optional<std::string> expected =
                p.key ? std::optional(ReadForm(lines[*p.key].content.substr(lines[*p.key].valueAt)))
                      : std::nullopt;
            ASSERT_EQ(doc.Value(section, key), expected) << before;
            ASSERT_EQ(doc.HasSection(section), p.header.has_value());
        }

        const std::string section = gen.OneIn(5) ? "New Section" : gen.Section();
        const std::string key = gen.OneIn(5) ? "fresh" : gen.Key();
        std::string value = gen.Value();
        if (!value.empty() && gen.OneIn(3)) {
            value = " " + value + "\t";
        }
        doc.SetValue(section, key, value);

        std::string style = "\r\n";
        for (const GenLine& l : lines) {
            if (!l.eol.empty()) {
                style = l.eol;
                break;
            }
        }
        const Place p = Find(lines, section, key);
        const GenLine added{Kind::kKey, key + "=" + value, style, key, key.size() + 1};
        if (p.key) {
            GenLine& l = lines[*p.key];
            l.content = l.content.substr(0, l.valueAt) + value;
        } else if (p.header) {
            std::size_t last = p.end - 1;
            while (last > *p.header && lines[last].kind == Kind::kBlank) {
                --last;
            }
            if (lines[last].eol.empty()) {
                lines[last].eol = style;
            }
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last + 1), added);
        } else {
            if (!lines.empty() && lines.back().eol.empty()) {
                lines.back().eol = style;
            }
            lines.push_back({Kind::kSection, "[" + section + "]", style, section, 0});
            lines.push_back(added);
        }
        const std::string after = doc.Bytes();
        ASSERT_EQ(after, FileBytes(lines, enc))
            << "before: " << testing::PrintToString(before) << "\nsection " << section << " key "
            << key << " value " << testing::PrintToString(value);
        const ProfileDocument reread = ProfileDocument::Parse(after);
        ASSERT_EQ(reread.Value(section, key), ReadForm(value));
        ASSERT_EQ(reread.Bytes(), after);
    }
}

}  // namespace
