// INI files as the private-profile functions read and write them: every row
// is a file before, one write or read, and the exact result.
#include "platform/profile.h"
#include "tests/platform/profile/read_form.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_workstation.h"

namespace fs = std::filesystem;
using namespace platform;
using namespace platform::literals;
using testsupport::ReadFile;

namespace {

constexpr const char* kFile = "C:\\Prog\\Config.ini";

// UTF-16 bytes of a text; LE unless asked, no byte-order mark.
std::string Utf16(std::u16string_view s, bool bigEndian = false) {
    std::string out;
    for (char16_t u : s) {
        const char lo = static_cast<char>(u & 0xFF);
        const char hi = static_cast<char>(u >> 8);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}
const std::string kLeBom = "\xFF\xFE";
const std::string kBeBom = "\xFE\xFF";
const std::string kUtf8Bom = "\xEF\xBB\xBF";

class ProfileTest : public testing::Test {
  protected:
    ProfileTest() { fs::create_directories(Host()); }
    fs::path Host() const { return ws_.Drive('c') / "Prog"; }
    fs::path HostFile() const { return Host() / "Config.ini"; }
    void Put(const std::optional<std::string>& bytes) const {
        fs::remove(HostFile());
        if (bytes) {
            ws_.WriteFile(HostFile(), *bytes);
        }
    }
    static unsigned Mode(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    }
    testsupport::TempWorkstation ws_;
};

using testsupport::ReadForm;

struct WriteCase {
    const char* what;
    std::optional<std::string> before;  // nullopt: no file
    std::string section;
    std::optional<std::string> key;    // nullopt: remove the section
    std::optional<std::string> value;  // nullopt: remove the key
    std::string after;
};

std::vector<WriteCase> WriteCases() {
    const std::string utf16Other = Utf16(u"[B]\r\nn=日本 ☃ \U0001F600\r\n");
    return {
        {"in place, keeping what precedes '='", "; head\r\n[A]\r\n  x \t= old \r\ny=2\r\n", "A",
         "x", "new", "; head\r\n[A]\r\n  x \t=new\r\ny=2\r\n"},
        {"appended before the blank line that separates sections",
         "[A]\r\na=1\r\n\r\n[B]\r\nb=1\r\n", "A", "c", "3",
         "[A]\r\na=1\r\nc=3\r\n\r\n[B]\r\nb=1\r\n"},
        {"a comment is a section's last non-blank line", "[A]\na=1\n; B follows\n\n[B]\n", "A", "c",
         "3", "[A]\na=1\n; B follows\nc=3\n\n[B]\n"},
        {"an empty section gets it under its header", "[A]\r\n\r\n[B]\r\n", "A", "k", "v",
         "[A]\r\nk=v\r\n\r\n[B]\r\n"},
        {"new section at the end", "[A]\r\na=1\r\n", "B", "b", "2", "[A]\r\na=1\r\n[B]\r\nb=2\r\n"},
        {"new section after a final blank line", "[A]\r\na=1\r\n\r\n", "B", "b", "2",
         "[A]\r\na=1\r\n\r\n[B]\r\nb=2\r\n"},
        {"new file", std::nullopt, "S", "k", "v", "[S]\r\nk=v\r\n"},
        {"empty file", "", "S", "k", "v", "[S]\r\nk=v\r\n"},
        {"names match without regard to case", "[Données]\r\nClé=1\r\n"_ansi, "DONNÉES"_ansi,
         "CLÉ"_ansi, "2", "[Données]\r\nClé=2\r\n"_ansi},
        {"names are trimmed to match", "[A]\nk=1\n", " A\t", " k ", "2", "[A]\nk=2\n"},
        {"names are trimmed when added", "[A]\n", "A", " new key ", "x", "[A]\nnew key=x\n"},
        {"the first section of a name is changed", "[A]\na=1\n[B]\n[a]\nb=3\n", "A", "b", "9",
         "[A]\na=1\nb=9\n[B]\n[a]\nb=3\n"},
        {"the first key of a name is changed", "[A]\na=1\nA=2\n", "A", "a", "3", "[A]\na=3\nA=2\n"},
        {"a quoted value is replaced whole", "[A]\na=\"x y\"\n", "A", "a", "z", "[A]\na=z\n"},
        {"the value is stored as given", "[A]\n", "A", "a", " 'x' ", "[A]\na= 'x' \n"},
        {"an LF file gets LF", "[A]\na=1\n", "A", "b", "2", "[A]\na=1\nb=2\n"},
        {"a mixed file follows its first line ending (CRLF)", "[A]\r\na=1\n", "A", "b", "2",
         "[A]\r\na=1\nb=2\r\n"},
        {"a mixed file follows its first line ending (LF)", "[A]\na=1\r\n", "A", "b", "2",
         "[A]\na=1\r\nb=2\n"},
        {"no final line break, in place", "[A]\na=1", "A", "a", "2", "[A]\na=2"},
        {"no final line break, added key", "[A]\na=1", "A", "b", "2", "[A]\na=1\nb=2\n"},
        {"no final line break, new section", "[A]\r\na=1", "B", "b", "2",
         "[A]\r\na=1\r\n[B]\r\nb=2\r\n"},
        {"no line break at all: CRLF", "[A]", "A", "b", "2", "[A]\r\nb=2\r\n"},
        {"an empty value keeps key= (in place)", "[A]\na=1\n", "A", "a", "", "[A]\na=\n"},
        {"an empty value keeps key= (added)", "[A]\n", "A", "b", "", "[A]\nb=\n"},
        {"comments and lines without '=' are not keys", "[A]\n;a=1\n  ; a=2\na\n", "A", "a", "2",
         "[A]\n;a=1\n  ; a=2\na\na=2\n"},
        {"keys before any section are in none", "a=1\n[A]\n", "A", "a", "2", "a=1\n[A]\na=2\n"},
        {"Windows-1252 bytes are written as they are", "[A]\r\n", "A", "k", "é€"_ansi,
         "[A]\r\nk=\xE9\x80\r\n"},
        {"UTF-8 with a BOM, in place", kUtf8Bom + "[Données]\r\nclé=été\r\n", "DONNÉES"_ansi,
         "CLÉ"_ansi, "ça €"_ansi, kUtf8Bom + "[Données]\r\nclé=ça €\r\n"},
        {"UTF-8 with a BOM, added", kUtf8Bom + "[A]\r\n; ☃\r\n", "A", "ñ"_ansi, "€"_ansi,
         kUtf8Bom + "[A]\r\n; ☃\r\nñ=€\r\n"},
        {"UTF-16 LE, in place", kLeBom + Utf16(u"[A]\r\nClé=v\r\n") + utf16Other, "a", "CLÉ"_ansi,
         "é€"_ansi, kLeBom + Utf16(u"[A]\r\nClé=é€\r\n") + utf16Other},
        {"UTF-16 LE, added", kLeBom + Utf16(u"[A]\r\nk=v\r\n") + utf16Other, "A", "m", "ü"_ansi,
         kLeBom + Utf16(u"[A]\r\nk=v\r\nm=\u00FC\r\n") + utf16Other},
        {"UTF-16 LE, new section", kLeBom + utf16Other, "C", "k", "v",
         kLeBom + utf16Other + Utf16(u"[C]\r\nk=v\r\n")},
        {"UTF-16 LE, BOM only", kLeBom, "C", "k", "v", kLeBom + Utf16(u"[C]\r\nk=v\r\n")},
        {"UTF-16 BE", kBeBom + Utf16(u"[A]\nk=v\n", true), "A", "k", "€"_ansi,
         kBeBom + Utf16(u"[A]\nk=€\n", true)},
        {"a null value removes the key", "[A]\na=1\nb=2\n", "A", "A", std::nullopt, "[A]\nb=2\n"},
        {"removing a missing key changes nothing", "[A]\nb=2", "A", "a", std::nullopt, "[A]\nb=2"},
        {"a null key removes the section", "; c\n[A]\na=1\n\n[B]\nb=2\n", "a", std::nullopt,
         std::nullopt, "; c\n[B]\nb=2\n"},
    };
}

TEST_F(ProfileTest, WritesChangeOnlyWhatTheyMeanTo) {
    for (const WriteCase& c : WriteCases()) {
        SCOPED_TRACE(c.what);
        Put(c.before);
        const char* key = c.key ? c.key->c_str() : nullptr;
        const char* value = c.value ? c.value->c_str() : nullptr;
        EXPECT_EQ(WritePrivateProfileStringA(c.section.c_str(), key, value, kFile), TRUE);
        EXPECT_EQ(ReadFile(HostFile()), c.after);

        // The document gives the same bytes, and what it wrote reads back.
        ProfileDocument doc = ProfileDocument::Parse(c.before.value_or(""));
        if (!c.key) {
            doc.RemoveSection(c.section);
        } else if (!c.value) {
            doc.RemoveKey(c.section, *c.key);
        } else {
            doc.SetValue(c.section, *c.key, *c.value);
            const auto back = ProfileDocument::Parse(doc.Bytes()).Value(c.section, *c.key);
            EXPECT_EQ(back, ReadForm(*c.value));
        }
        EXPECT_EQ(doc.Bytes(), c.after);
    }
}

struct ReadCase {
    const char* what;
    std::optional<std::string> file;
    std::string section;
    std::string key;
    std::optional<std::string> value;  // nullopt: the default
};

std::vector<ReadCase> ReadCases() {
    return {
        {"names and values are trimmed", "  [ A ]  \n  k \t=\t v v \t\n", "A", "k", "v v"},
        {"names match without regard to case", "[Données]\nClé=1\n"_ansi, "DONNÉES"_ansi,
         "clé"_ansi, "1"},
        {"the first section wins", "[A]\na=1\n[a]\na=2\nb=3\n", "A", "a", "1"},
        {"a later section of the same name is not read", "[A]\na=1\n[a]\nb=3\n", "a", "b",
         std::nullopt},
        {"the first key wins", "[A]\nk=1\nK=2\n", "A", "K", "1"},
        {"double quotes are removed", "[A]\nk= \"  x  \" \n", "A", "k", "  x  "},
        {"single quotes are removed", "[A]\nk='x'\n", "A", "k", "x"},
        {"only quotes", "[A]\nk=\"\"\n", "A", "k", ""},
        {"an unmatched quote stays", "[A]\nk=\"x\n", "A", "k", "\"x"},
        {"different quotes stay", "[A]\nk=\"x'\n", "A", "k", "\"x'"},
        {"one quote stays", "[A]\nk=\"\n", "A", "k", "\""},
        {"inner quotes stay", "[A]\nk=a\"b\"\n", "A", "k", "a\"b\""},
        {"a comment is no key", "[A]\n;k=1\n", "A", ";k", std::nullopt},
        {"an indented comment is no key", "[A]\n  ; k=1\n", "A", "k", std::nullopt},
        {"a line without '=' is no key", "[A]\nk\n", "A", "k", std::nullopt},
        {"an empty value is not the default", "[A]\nk=\n", "A", "k", ""},
        {"the value runs to the line's end", "[A]\nk=a=b ; c\n", "A", "k", "a=b ; c"},
        {"text after a header's bracket", "[A] x\nk=1\n", "A", "k", "1"},
        {"keys before any section are in none", "k=1\n[A]\n", "A", "k", std::nullopt},
        {"missing section", "[A]\nk=1\n", "B", "k", std::nullopt},
        {"missing key", "[A]\nk=1\n", "A", "j", std::nullopt},
        {"missing file", std::nullopt, "A", "k", std::nullopt},
        {"CRLF without a final line break", "[A]\r\nk=v", "A", "k", "v"},
        {"without a BOM, bytes are Windows-1252", "[A]\nk=é\n", "A", "k", "\xC3\xA9"},
        {"UTF-8 with a BOM", kUtf8Bom + "[A]\nclé=été\n", "A", "CLÉ"_ansi, "été"_ansi},
        {"UTF-16 LE", kLeBom + Utf16(u"[Données]\r\nk=été\r\n"), "données"_ansi, "k", "été"_ansi},
        {"UTF-16 LE, a character Windows-1252 lacks", kLeBom + Utf16(u"[A]\r\nk=日\U0001F600\r\n"),
         "A", "k", "??"},
        {"UTF-16 BE", kBeBom + Utf16(u"[A]\r\nk=€\r\n", true), "A", "k", "€"_ansi},
    };
}

TEST_F(ProfileTest, ReadsAsWindowsDoes) {
    for (const ReadCase& c : ReadCases()) {
        SCOPED_TRACE(c.what);
        Put(c.file);
        char buffer[64];
        const DWORD n = GetPrivateProfileStringA(c.section.c_str(), c.key.c_str(), "(default)",
                                                 buffer, sizeof buffer, kFile);
        EXPECT_EQ(std::string(buffer, n), c.value.value_or("(default)"));
        EXPECT_EQ(buffer[n], '\0');
        EXPECT_EQ(TIniFile(kFile).ReadString(c.section, c.key, "(default)"),
                  c.value.value_or("(default)"));
        const auto doc = ReadProfile(kFile);
        ASSERT_EQ(doc.has_value(), c.file.has_value());
        if (doc) {
            EXPECT_EQ(doc->Value(c.section, c.key), c.value);
            EXPECT_EQ(doc->Bytes(), *c.file);
        }
    }
}

TEST_F(ProfileTest, ReadsCopyAtMostSizeMinusOneCharacters) {
    const std::string longValue(3000, 'x');
    Put("[A]\r\nk=" + longValue + "\r\nshort=abcdef\r\n");
    EXPECT_EQ(TIniFile(kFile).ReadString("A", "k", ""), std::string(2047, 'x'));

    char buffer[8] = "-------";
    EXPECT_EQ(GetPrivateProfileStringA("A", "short", "", buffer, 5, kFile), 4u);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(GetPrivateProfileStringA("A", "none", "xyz", buffer, 3, kFile), 2u);
    EXPECT_STREQ(buffer, "xy");
    // Windows strips a default's trailing spaces.
    EXPECT_EQ(GetPrivateProfileStringA("A", "none", " d  ", buffer, sizeof buffer, kFile), 2u);
    EXPECT_STREQ(buffer, " d");
    EXPECT_EQ(GetPrivateProfileStringA("A", "none", nullptr, buffer, sizeof buffer, kFile), 0u);
    EXPECT_STREQ(buffer, "");

    std::strcpy(buffer, "kept");
    EXPECT_EQ(GetPrivateProfileStringA("A", "short", "", buffer, 0, kFile), 0u);
    EXPECT_STREQ(buffer, "kept");
    // The enumeration forms are not offered.
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, "short", "d", buffer, sizeof buffer, kFile), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(GetPrivateProfileStringA("A", nullptr, "d", buffer, sizeof buffer, kFile), 0u);
}

TEST_F(ProfileTest, RefusedWritesLeaveEverythingAsItWas) {
    const std::string before = "[A]\r\nk=1\r\n";
    struct Refusal {
        const char* what;
        const char* file;
        std::function<void()> arrange;
        const char* reason;
    };
    const std::vector<Refusal> refusals = {
        {"a read-only file", kFile, [&] { fs::permissions(HostFile(), fs::perms::owner_read); },
         "read-only"},
        {"an unreadable file", kFile, [&] { fs::permissions(HostFile(), fs::perms::owner_write); },
         "Permission denied"},
        {"a missing folder", "C:\\Missing\\Config.ini", [] {}, "the folder does not exist"},
        {"a missing drive", "Q:\\Config.ini", [] {}, "not on a drive of this workstation"},
        {"a UNC path", "\\\\server\\share\\Config.ini", [] {}, "not on a drive"},
        {"a folder in the file's place", "C:\\Prog\\Folder.ini",
         [&] { fs::create_directories(Host() / "Folder.ini"); }, "it is a folder"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        fs::permissions(Host(), fs::perms::owner_all);
        fs::remove_all(Host());
        fs::create_directories(Host());
        Put(before);
        r.arrange();
        const unsigned mode = Mode(HostFile());

        EXPECT_EQ(WritePrivateProfileStringA("A", "k", "2", r.file), FALSE);
        try {
            UpdateProfile(r.file, [](ProfileDocument& doc) { doc.SetValue("A", "k", "2"); });
            ADD_FAILURE() << "written";
        } catch (const EOSError& e) {
            EXPECT_NE(e.Message().find(r.file), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find(r.reason), std::string::npos) << e.Message();
        }
        try {
            TIniFile(r.file).WriteString("A", "k", "2");
            ADD_FAILURE() << "written";
        } catch (const EIniFileException& e) {
            EXPECT_EQ(e.Message(), "Impossible d'écrire dans "_ansi + r.file);
        }

        EXPECT_EQ(Mode(HostFile()), mode);
        fs::permissions(HostFile(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(ReadFile(HostFile()), before);
        EXPECT_FALSE(fs::exists(ws_.Drive('c') / "Missing"));
        // Nothing else appeared: no lock file, no temporary file.
        std::vector<fs::path> names;
        for (const auto& e : fs::directory_iterator(Host())) {
            names.push_back(e.path().filename());
        }
        EXPECT_LE(names.size(), 2u);
    }
}

TEST_F(ProfileTest, AFileThatCannotBeReadReadsAsTheDefault) {
    fs::create_directories(HostFile());  // a folder where the file should be
    char buffer[16];
    EXPECT_EQ(GetPrivateProfileStringA("A", "k", "d", buffer, sizeof buffer, kFile), 1u);
    EXPECT_STREQ(buffer, "d");
    EXPECT_THROW(ReadProfile(kFile), EOSError);

    fs::remove(HostFile());
    Put("[A]\nk=1\n");
    fs::permissions(HostFile(), fs::perms::owner_write);
    EXPECT_EQ(GetPrivateProfileStringA("A", "k", "d", buffer, sizeof buffer, kFile), 1u);
    EXPECT_STREQ(buffer, "d");
    EXPECT_THROW(ReadProfile(kFile), EOSError);
    fs::permissions(HostFile(), fs::perms::owner_read | fs::perms::owner_write);

    // Paths that cannot exist are missing files.
    EXPECT_FALSE(ReadProfile("Q:\\Config.ini"));
    EXPECT_FALSE(ReadProfile("C:\\Prog\\Config.ini\\below.ini"));
}

TEST_F(ProfileTest, NamesAndValuesThatCannotBeStoredAreRefused) {
    struct Bad {
        std::string section, key, value;
    };
    using namespace std::string_literals;
    const std::vector<Bad> bad = {
        {"A]", "k", "v"},   {"A\r\n[B", "k", "v"}, {"A\0B"s, "k", "v"},    {"A", "k=j", "v"},
        {"A", "[k", "v"},   {"A", " ;k", "v"},     {"A", "", "v"},         {"A", " \t", "v"},
        {"A", "k\nj", "v"}, {"A", "k\0"s, "v"},    {"A", "k", "v\r\nj=1"}, {"A", "k", "v\rw"},
        {"A", "k", "v\nw"}, {"A", "k", "v\0w"s},
    };
    const std::string before = "[A]\r\nk=1\r\n";
    Put(before);
    for (const Bad& b : bad) {
        SCOPED_TRACE(testing::PrintToString(b.section + "|" + b.key + "|" + b.value));
        ProfileDocument doc = ProfileDocument::Parse(before);
        EXPECT_THROW(doc.SetValue(b.section, b.key, b.value), EOSError);
        EXPECT_THROW(doc.AddSection(b.section + "new", {{"x", "1"}, {b.key, b.value}}), EOSError);
        EXPECT_EQ(doc.Bytes(), before);
        EXPECT_THROW(UpdateProfile(
                         kFile, [&](ProfileDocument& d) { d.SetValue(b.section, b.key, b.value); }),
                     EOSError);
        EXPECT_EQ(ReadFile(HostFile()), before);
    }
    EXPECT_EQ(WritePrivateProfileStringA("A]", "k", "v", kFile), FALSE);
    EXPECT_EQ(WritePrivateProfileStringA(nullptr, "k", "v", kFile), FALSE);
    EXPECT_EQ(WritePrivateProfileStringA("A", "k", "v", nullptr), FALSE);
    EXPECT_EQ(ReadFile(HostFile()), before);
}

TEST_F(ProfileTest, UpdatesAreAtomicAndKeepTheMode) {
    Put("[A]\nk=1\n");
    fs::permissions(HostFile(),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(WritePrivateProfileStringA("A", "k", "2", kFile), TRUE);
    EXPECT_EQ(Mode(HostFile()), 0640u);

    // A failing change leaves the file, or its absence, as it was.
    const auto failing = [](ProfileDocument& doc) {
        doc.SetValue("A", "k", "3");
        throw Exception("changed my mind");
    };
    EXPECT_THROW(UpdateProfile(kFile, failing), Exception);
    EXPECT_EQ(ReadFile(HostFile()), "[A]\nk=2\n");
    EXPECT_THROW(UpdateProfile("C:\\Prog\\New.ini", failing), Exception);
    EXPECT_FALSE(fs::exists(Host() / "New.ini"));

    // A change that changes no byte writes nothing.
    struct stat st {};
    ASSERT_EQ(::stat(HostFile().c_str(), &st), 0);
    EXPECT_EQ(WritePrivateProfileStringA("a", "K", "2", kFile), TRUE);
    struct stat again {};
    ASSERT_EQ(::stat(HostFile().c_str(), &again), 0);
    EXPECT_EQ(again.st_ino, st.st_ino);
    UpdateProfile("C:\\Prog\\New.ini", [](ProfileDocument& doc) { doc.RemoveKey("A", "k"); });
    EXPECT_FALSE(fs::exists(Host() / "New.ini"));

    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Host())) {
        names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"Config.ini"});
}

TEST_F(ProfileTest, ConcurrentWritersLoseNoKey) {
    constexpr int kThreads = 4;
    constexpr int kKeys = 20;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int k = 0; k < kKeys; ++k) {
                const std::string key = "k" + std::to_string(t) + "_" + std::to_string(k);
                WritePrivateProfileStringA("S", key.c_str(), key.c_str(), kFile);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    const auto doc = ReadProfile(kFile);
    ASSERT_TRUE(doc);
    ASSERT_EQ(doc->Section("S").value_or(std::vector<ProfileEntry>{}).size(),
              std::size_t{kThreads * kKeys});
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeys; ++k) {
            const std::string key = "k" + std::to_string(t) + "_" + std::to_string(k);
            EXPECT_EQ(doc->Value("S", key), key);
        }
    }
}

TEST(ProfileDocumentTest, SectionsListTheirKeysInFileOrder) {
    const ProfileDocument doc = ProfileDocument::Parse(
        "[A]\r\n; note\r\n b = \"2\" \r\nA=1\r\ntext\r\nc=\r\n[B]\r\n[a]\r\nd=4\r\n");
    const auto entries = doc.Section("a");
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[0].key, "b");
    EXPECT_EQ((*entries)[0].value, "2");
    EXPECT_EQ((*entries)[1].key, "A");
    EXPECT_EQ((*entries)[2].key, "c");
    EXPECT_EQ((*entries)[2].value, "");
    EXPECT_TRUE(doc.Section("B") && doc.Section("B")->empty());
    EXPECT_FALSE(doc.Section("C"));
    EXPECT_TRUE(doc.HasSection(" b "));
    EXPECT_FALSE(doc.HasSection("C"));
    EXPECT_FALSE(doc.Value("A", "d"));
    EXPECT_EQ(ProfileDocument().Bytes(), "");
    EXPECT_FALSE(ProfileDocument().HasSection(""));
}

TEST(ProfileDocumentTest, AddedSectionsAreSetApartByABlankLine) {
    const std::vector<ProfileEntry> entries = {{"DRIVER", "MSSQL"}, {" X ", " 1"}, {"x", "2"}};
    struct Case {
        std::string before, after;
    };
    const std::vector<Case> cases = {
        {"", "[S]\r\nDRIVER=MSSQL\r\nX= 1\r\nx=2\r\n"},
        {"[A]\na=1", "[A]\na=1\n\n[S]\nDRIVER=MSSQL\nX= 1\nx=2\n"},
        {"[A]\na=1\n", "[A]\na=1\n\n[S]\nDRIVER=MSSQL\nX= 1\nx=2\n"},
        {"[A]\na=1\n\n", "[A]\na=1\n\n[S]\nDRIVER=MSSQL\nX= 1\nx=2\n"},
        {"[A]\na=1\n  ", "[A]\na=1\n  \n[S]\nDRIVER=MSSQL\nX= 1\nx=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        ProfileDocument doc = ProfileDocument::Parse(c.before);
        doc.AddSection("S", entries);
        EXPECT_EQ(doc.Bytes(), c.after);
        EXPECT_EQ(ProfileDocument::Parse(doc.Bytes()).Value("S", "x"), "1");
        EXPECT_THROW(doc.AddSection("s", {}), EOSError);
        EXPECT_EQ(doc.Bytes(), c.after);
    }
}

TEST_F(ProfileTest, TIniFileReadsAndWritesThroughTheProfileFunctions) {
    TIniFile ini(kFile);
    EXPECT_EQ(ini.FileName(), kFile);
    EXPECT_EQ(ini.ReadString("Setup", "Folder", "C:\\Défaut"_ansi), "C:\\Défaut"_ansi);
    EXPECT_FALSE(fs::exists(HostFile()));
    ini.WriteString("Setup", "Folder", "C:\\Données SQL"_ansi);
    EXPECT_EQ(ReadFile(HostFile()), "[Setup]\r\nFolder=C:\\Données SQL\r\n"_ansi);
    EXPECT_EQ(TIniFile("c:\\prog\\CONFIG.INI").ReadString("SETUP", "folder", ""),
              "C:\\Données SQL"_ansi);
    EXPECT_THROW(ini.WriteString("Setup", "Folder", "two\r\nlines"), EIniFileException);
    EXPECT_EQ(ReadFile(HostFile()), "[Setup]\r\nFolder=C:\\Données SQL\r\n"_ansi);
}

}  // namespace
