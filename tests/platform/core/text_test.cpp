#include "platform/text.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::literals;

TEST(Text, Utf8AndWindows1252ConvertBothWays) {
    struct Row {
        const char* utf8;
        const char* ansi;
    } rows[] = {
        {"", ""},
        {"abc", "abc"},
        {"é", "\xE9"},
        {"Préparation de la restauration...", "Pr\xE9paration de la restauration..."},
        {"€‚ƒ„…†‡ˆ‰Š‹ŒŽ", "\x80\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8E"},
        {"‘’“”•–—˜™š›œžŸ", "\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9A\x9B\x9C\x9E\x9F"},
        {"ÿ", "\xFF"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Utf8ToAnsi(row.utf8), row.ansi) << row.utf8;
        EXPECT_EQ(AnsiToUtf8(row.ansi), row.utf8) << row.utf8;
    }
}

TEST(Text, CharactersTheCodePageLacksBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToAnsi("Ω∑"), "??");
    EXPECT_EQ(Utf8ToAnsi("a😀b"), "a?b");
    // Broken UTF-8 never throws and never swallows the bytes after it.
    EXPECT_EQ(Utf8ToAnsi("a\xC3"), "a?");
    EXPECT_EQ(Utf8ToAnsi("a\xC3z"), "a?z");
    EXPECT_EQ(Utf8ToAnsi("\xFF\xFE"), "??");
    // The five undefined positions survive a round trip as C1 controls.
    EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8("\x81\x8D\x8F\x90\x9D")), "\x81\x8D\x8F\x90\x9D");
}

TEST(Text, CaseMappingCoversAccentedLetters) {
    EXPECT_EQ(AnsiUpperCase("donn\xE9"
                            "es \x9C\xFF"),
              "DONN\xC9"
              "ES \x8C\x9F");
    EXPECT_EQ(AnsiLowerCase("DONN\xC9"
                            "ES \x8C\x9F"),
              "donn\xE9"
              "es \x9C\xFF");
    // Multiplication and division signs are not letters.
    EXPECT_EQ(AnsiUpperCase("\xF7"), "\xF7");
    EXPECT_EQ(AnsiLowerCase("\xD7"), "\xD7");
    EXPECT_TRUE(
        AnsiSameText("App Paths\\Donn\xE9"
                     "es",
                     "APP PATHS\\DONN\xC9"
                     "ES"));
    EXPECT_FALSE(AnsiSameText("abc", "abd"));
    EXPECT_FALSE(AnsiSameText("abc", "ab"));
    // Only a to z change: accented letters compare as stored.
    EXPECT_EQ(AsciiUpperCase("c:\\donn\xE9"
                             "es\\"),
              "C:\\DONN\xE9"
              "ES\\");
}
