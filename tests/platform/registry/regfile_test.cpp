// The REGEDIT4 text format: parse, write, round trips, malformed texts.
#include "platform/regfile.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using namespace platform;
using namespace platform::literals;

namespace {

std::string Canonical(std::string_view text) {
    return WriteRegText(ParseRegTree(text));
}

// LF written texts, for readability; the writer's CRLF form of them.
std::string Crlf(std::string_view lf) {
    std::string out;
    for (char c : lf) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

struct RoundTrip {
    const char* name;
    std::string text;  // canonical, CRLF
};

class CanonicalRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(CanonicalRoundTrip, GivesTheTextBackByteForByte) {
    EXPECT_EQ(Canonical(GetParam().text), GetParam().text);
}

const RoundTrip kCanonical[] = {
    {"Empty", Crlf("REGEDIT4\n\n")},
    {"EmptyKeys", Crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty]\n\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty\\Child]\n\n")},
    {"AllTypes",
     Crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quill]\n"
          "@=\"d\xE9"
          "faut\"\n"
          "\"Text\"=\"C:\\\\Program Files\\\\\\\"Quill\\\"\"\n"
          "\"Empty\"=\"\"\n"
          "\"Number\"=dword:0000000a\n"
          "\"Max\"=dword:ffffffff\n"
          "\"Bin\"=hex:00,01,fe,ff\n"
          "\"NoBytes\"=hex:\n"
          "\"Expand\"=hex(2):25,54,45,4d,50,25,00\n"
          "\"Multi\"=hex(7):61,00,62,00,00\n"
          "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\n"
          "\"None\"=hex(0):\n"
          "\"Odd\"=hex(4):01,02\n"
          "\"Big\"=hex(100000):01\n"
          "\"NulInside\"=hex(1):61,00,62,00\n"
          "\"NoNul\"=hex(1):61,62\n"
          "\"Value with = and ; and [x]\"=\"; not a comment\"\n"
          "\n")},
    {"Windows1252Names",
     "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n"
     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Soci\xE9t\xE9 \x80]\r\n"
     "\"Cl\xE9\"=\"\xC9t\xE9\"\r\n\r\n"},
    {"RootValues", Crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE]\n\"AtRoot\"=\"x\"\n\n"
                        "[HKEY_LOCAL_MACHINE\\A]\n\n")},
    {"KeyNameWithBracket", Crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]B]\n\"v\"=\"1\"\n\n")},
    {"WrappedHex",
     Crlf("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n"
          "@=hex(2):41,42,43,44,45,46,47,48,49,4a,4b,4c,4d,4e,4f,50,51,52,53,54,55,56,57,\\\n"
          "  58,59,5a,00\n"
          "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
          "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\n"
          "  30,31\n"
          "\n")},
};

INSTANTIATE_TEST_SUITE_P(Texts, CanonicalRoundTrip, testing::ValuesIn(kCanonical),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RegFile, WrappedHexFollowsRegeditLayout) {
    // "Bin"=hex: then 23 bytes on the first line, 25 on the following ones.
    RegKey hklm;
    std::string bytes(60, '\x5a');
    hklm.CreatePath("K")->SetValue("Bin", REG_BINARY, bytes);
    const std::string text = WriteRegText(hklm);
    std::size_t start = text.find("\"Bin\"");
    std::vector<std::string> lines;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 80u);  // "Bin"=hex: + 23 "5a," + '\'
    EXPECT_EQ(lines[1].size(), 78u);  // two spaces + 25 "5a," + '\'
    EXPECT_EQ(lines[2], "  5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a,5a");
    EXPECT_EQ(ParseRegTree(text).FindPath("K")->FindValue("bin")->data, bytes);
}

struct Normalized {
    const char* name;
    std::string input;
    std::string canonical;  // LF, made CRLF by the test
};

class NonCanonicalInput : public testing::TestWithParam<Normalized> {};

TEST_P(NonCanonicalInput, IsWrittenInCanonicalForm) {
    const std::string expected = Crlf(GetParam().canonical);
    EXPECT_EQ(Canonical(GetParam().input), expected);
    EXPECT_EQ(Canonical(expected), expected);
}

const Normalized kNonCanonical[] = {
    {"LfEnds", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n\n"},
    {"NoFinalLineEnd", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"1\"",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"1\"\n\n"},
    {"CommentsBlanksIndent",
     "REGEDIT4\n; a comment\n\n\n  [HKEY_LOCAL_MACHINE\\A]  \n\t; another\n  \"v\" = \"1\"  ; "
     "trailing\n@ = dword:1 ;x\n\n\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n@=dword:00000001\n\"v\"=\"1\"\n\n"},
    {"ParentsCreated", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\n"
     "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\n"},
    {"RootAbbreviationsAndClasses",
     "REGEDIT4\n[hklm\\A]\n[HKCR\\.txt]\n@=\"txtfile\"\n[HKEY_CLASSES_ROOT\\txtfile]\n"
     "[hkey_local_machine\\B\\]\n[HKEY_LOCAL_MACHINE]\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.txt]\n"
     "@=\"txtfile\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\txtfile]\n\n"
     "[HKEY_LOCAL_MACHINE\\B]\n\n"},
    {"ContinuationLines",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"b\"=hex:01, 02,\\\n   03,\\\n\t04 ,05\n"
     "\"c\"=hex(7):61,00,\\\n  00\n\"d\"=HEX(2):41,00,\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"b\"=hex:01,02,03,04,05\n\"c\"=hex(7):61,00,00\n"
     "\"d\"=hex(2):41,00\n\n"},
    {"NumbersAndHexCase",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=DWORD:A\n\"b\"=dword:FFFFFFFF\n\"c\"=hex:AB,cD,0\n"
     "\"d\"=hex(B):01,00,00,00,00,00,00,00\n\"e\"=hex(4):0a,00,00,00\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:0000000a\n\"b\"=dword:ffffffff\n"
     "\"c\"=hex:ab,cd,00\n\"d\"=hex(b):01,00,00,00,00,00,00,00\n\"e\"=dword:0000000a\n\n"},
    {"StringsAsHex",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"s\"=hex(1):61,62,00\n\"t\"=hex(1):00\n"
     "\"u\"=hex(1):\n\"v\"=hex(1):61,0d,0a,00\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"s\"=\"ab\"\n\"t\"=\"\"\n\"u\"=hex(1):\n"
     "\"v\"=hex(1):61,0d,0a,00\n\n"},
    {"Escapes",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"q\\\"n\\\\\"=\"\\\\\\\\server\\\\\\\"x\\\"\"\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"q\\\"n\\\\\"=\"\\\\\\\\server\\\\\\\"x\\\"\"\n\n"},
    {"DefaultValueFirstAndEmptyName",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n\"\"=\"d\"\n\"y\"=\"2\"\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n@=\"d\"\n\"x\"=\"1\"\n\"y\"=\"2\"\n\n"},
    {"MergeKeepsFirstCaseAndPlace",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Soft\\App]\n\"Name\"=\"1\"\n\"Other\"=\"o\"\n"
     "[HKEY_LOCAL_MACHINE\\SOFT\\APP]\n\"NAME\"=dword:2\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Soft]\n\n[HKEY_LOCAL_MACHINE\\Soft\\App]\n"
     "\"Name\"=dword:00000002\n\"Other\"=\"o\"\n\n"},
    {"AccentedNamesMatchWithoutCase",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Soci\xE9t\xE9]\n\"\xC9l\xE9ment\"=\"1\"\n"
     "[HKEY_LOCAL_MACHINE\\SOCI\xC9T\xC9]\n\"\xE9L\xC9MENT\"=\"2\"\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Soci\xE9t\xE9]\n\"\xC9l\xE9ment\"=\"2\"\n\n"},
    {"Deletions",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"x\"=\"1\"\n[HKEY_LOCAL_MACHINE\\A]\n\"y\"=\"2\"\n"
     "\"z\"=\"3\"\n[-HKEY_LOCAL_MACHINE\\a\\b]\n[HKEY_LOCAL_MACHINE\\A]\n\"Y\"=-\n"
     "\"missing\"=-\n@=-\n[-HKEY_LOCAL_MACHINE\\Missing\\Key]\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"z\"=\"3\"\n\n"},
    {"DeletedThenRecreated",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"old\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\A]\n"
     "[HKEY_LOCAL_MACHINE\\A]\n\"new\"=\"2\"\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"new\"=\"2\"\n\n"},
    {"HeaderCaseAndBlanks", "regedit4  \r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n",
     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\n"},
};

INSTANTIATE_TEST_SUITE_P(Texts, NonCanonicalInput, testing::ValuesIn(kNonCanonical),
                         [](const auto& info) { return std::string(info.param.name); });

struct Malformed {
    const char* name;
    std::string text;
    const char* message;  // part of the error's text
    int line;
};

class MalformedText : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedText, IsAClearError) {
    try {
        ParseRegText(GetParam().text);
        FAIL() << "no error for " << GetParam().name;
    } catch (const RegFormatError& e) {
        EXPECT_NE(e.Message().find(GetParam().message), std::string::npos) << e.Message();
        EXPECT_EQ(e.Line(), GetParam().line) << e.Message();
        if (GetParam().line > 0) {
            EXPECT_NE(e.Message().find("line " + std::to_string(GetParam().line) + ": "),
                      std::string::npos)
                << e.Message();
        }
    }
}

const std::string kKey = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n";  // values go on line 4

const Malformed kMalformed[] = {
    {"EmptyText", "", "REGEDIT4 header is missing", 1},
    {"OtherHeader", "REGEDIT5\r\n", "first line must be REGEDIT4", 1},
    {"NoHeader", "[HKEY_LOCAL_MACHINE\\A]\n", "first line must be REGEDIT4", 1},
    {"Version5", "Windows Registry Editor Version 5.00\r\n\r\n", "Unicode", 1},
    {"Utf16", std::string("\xFF\xFEW\0i\0n\0", 8), "Unicode", 1},
    {"Utf8Bom", "\xEF\xBB\xBFREGEDIT4\n", "Unicode", 1},
    {"OtherRoot", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n", "unsupported root key", 3},
    {"NoRoot", "REGEDIT4\n[\\Software]\n", "without its root key", 2},
    {"UnclosedKey", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", "must end with ']'", 2},
    {"EmptyKeyName", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "invalid key path", 2},
    {"DeleteRoot", "REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", "root key cannot be deleted", 2},
    {"DeleteClassesRoot", "REGEDIT4\n[-HKCR]\n", "root key cannot be deleted", 2},
    {"ValueBeforeKey", "REGEDIT4\n\"a\"=\"b\"\n", "outside a key", 2},
    {"ValueAfterDeletion", kKey + "[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"b\"\n", "outside a key", 5},
    {"UnterminatedString", kKey + "\"a\"=\"b\n", "unterminated quoted string", 4},
    {"UnterminatedName", kKey + "\"a=\"b\"\n", "'=' expected", 4},
    {"UnterminatedNameAtEnd", kKey + "\"abc\n", "unterminated quoted value name", 4},
    {"UnknownEscape", kKey + "\"a\"=\"b\\n\"\n", "unknown escape", 4},
    {"NoEquals", kKey + "\"a\" \"b\"\n", "'=' expected", 4},
    {"NoData", kKey + "\"a\"=\n", "data is missing", 4},
    {"DwordTooLong", kKey + "\"a\"=dword:123456789\n", "1 to 8 hex digits", 4},
    {"DwordNotHex", kKey + "\"a\"=dword:xyz\n", "1 to 8 hex digits", 4},
    {"BadHexByte", kKey + "\"a\"=hex:0g\n", "',' expected", 4},
    {"HexByteTooLong", kKey + "\"a\"=hex:001\n", "invalid byte", 4},
    {"HexMissingComma", kKey + "\"a\"=hex:00 01\n", "',' expected", 4},
    {"HexDoubleComma", kKey + "\"a\"=hex:00,,01\n", "invalid byte", 4},
    {"BadHexType", kKey + "\"a\"=hex(zz):00\n", "type number", 4},
    {"HexNoColon", kKey + "\"a\"=hex(2)00\n", "':' expected", 4},
    {"ContinuationPastEnd", kKey + "\"a\"=hex:00,\\\n", "past the end", 4},
    {"BadContinuation", kKey + "\"a\"=hex:00,\\\n  zz\n", "invalid byte", 4},
    {"UnknownType", kKey + "\"a\"=str:\"x\"\n", "unknown value data", 4},
    {"TrailingText", kKey + "\"a\"=\"b\" junk\n", "unexpected text after the value", 4},
    {"Garbage", kKey + "garbage\n", "unexpected text 'garbage'", 4},
    {"NulByte", kKey + std::string("\"a\"=\"b\0\"\n", 9), "NUL byte", 4},
};

INSTANTIATE_TEST_SUITE_P(Texts, MalformedText, testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RegFile, ErrorNamesItsSource) {
    try {
        ParseRegText("REGEDIT4\n[HKCU\\X]\n", "setup.reg");
        FAIL();
    } catch (const RegFormatError& e) {
        EXPECT_EQ(e.Message().rfind("setup.reg: line 2: unsupported root key 'HKCU'", 0), 0u)
            << e.Message();
    }
}

TEST(RegFile, MutatedTextsNeverCrash) {
    const std::string base = kCanonical[2].text + kCanonical[6].text.substr(10);
    std::mt19937 random(12345);
    static const char kChars[] = "\\\"[]-=@;:,()\r\n\t \0x0Fhexdword\xE9";
    const std::string alphabet(kChars, sizeof kChars - 1);
    for (int i = 0; i < 3000; ++i) {
        std::string text = base;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % text.size();
            switch (random() % 3) {
                case 0:
                    text.erase(at, 1 + random() % 8);
                    break;
                case 1:
                    text.insert(at, 1, alphabet[random() % alphabet.size()]);
                    break;
                default:
                    text[at] = alphabet[random() % alphabet.size()];
                    break;
            }
        }
        try {
            const RegKey tree = ParseRegTree(text);
            const std::string written = WriteRegText(tree);
            EXPECT_EQ(Canonical(written), written);
        } catch (const RegFormatError&) {
        }
    }
}

TEST(RegKey, NamesMatchWithoutCaseAndKeepTheirCase) {
    RegKey hklm;
    RegKey* key = hklm.CreatePath("Software\\Soci\xE9t\xE9");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(hklm.FindPath("SOFTWARE\\SOCI\xC9T\xC9"), key);
    EXPECT_EQ(hklm.CreatePath("software\\soci\xE9t\xC9\\"), key);
    EXPECT_EQ(hklm.SubKeys().front()->Name(), "Software");
    EXPECT_EQ(key->Name(), "Soci\xE9t\xE9");

    key->SetValue("\xC9tat", REG_SZ, std::string("a\0", 2));
    key->SetValue("Autre", REG_DWORD, "1234");
    key->SetValue("\xE9TAT", REG_SZ, std::string("b\0", 2));
    ASSERT_EQ(key->Values().size(), 2u);
    EXPECT_EQ(key->Values()[0].name, "\xC9tat");
    EXPECT_EQ(key->Values()[0].data, std::string("b\0", 2));
    EXPECT_NE(key->FindValue("\xE9tat"), nullptr);
    EXPECT_EQ(key->FindValue("Etat"), nullptr);  // an accent is not a case

    EXPECT_TRUE(key->DeleteValue("\xC9TAT"));
    EXPECT_FALSE(key->DeleteValue("\xC9TAT"));
    EXPECT_EQ(key->FindValue("autre")->name, "Autre");
    EXPECT_TRUE(hklm.DeletePath("SOFTWARE\\soci\xC9t\xE9"));
    EXPECT_EQ(hklm.FindPath("Software\\Soci\xE9t\xE9"), nullptr);
    EXPECT_NE(hklm.FindPath("software"), nullptr);
    EXPECT_FALSE(hklm.DeletePath(""));
}

TEST(RegKey, InvalidPaths) {
    RegKey hklm;
    EXPECT_EQ(hklm.CreatePath("A\\\\B"), nullptr);
    EXPECT_EQ(hklm.CreatePath("\\A"), nullptr);
    EXPECT_EQ(hklm.CreatePath("\\"), nullptr);
    EXPECT_EQ(hklm.CreatePath(std::string("A\nB")), nullptr);
    EXPECT_EQ(hklm.FindPath(""), &hklm);
    EXPECT_TRUE(hklm.SubKeys().empty());
}

TEST(RegFile, UnwritableNamesAreRefused) {
    RegKey hklm;
    hklm.CreatePath("A")->SetValue("bad\nname", REG_SZ, std::string("x\0", 2));
    EXPECT_THROW(WriteRegText(hklm), Exception);
}

TEST(RegValue, TypedAccess) {
    EXPECT_EQ(RegValue::String("n", "abc").data, std::string("abc\0", 4));
    EXPECT_EQ(RegValue::Dword("n", 0x0A0B0C0D).data, "\x0D\x0C\x0B\x0A");
    EXPECT_EQ(RegValue::Dword("n", 10).AsDword(), 10u);
    EXPECT_EQ(RegValue::String("n", "%TEMP%", REG_EXPAND_SZ).Text(), "%TEMP%");
    RegValue cut{"n", REG_SZ, std::string("ab\0cd\0", 6)};
    EXPECT_EQ(cut.Text(), "ab");
    EXPECT_EQ((RegValue{"n", REG_BINARY, "ab"}).Text(), std::nullopt);
    EXPECT_EQ((RegValue{"n", REG_DWORD, "ab"}).AsDword(), std::nullopt);
}

}  // namespace
