// The stored form of the sa password: fixed vectors, since other programs
// read it back, and the reader's inverse over random passwords.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "settings/password_scrambling.h"

namespace {

using settings::ScramblePassword;
using settings::UnscramblePassword;

// "a" (0x61) XORed with key bytes 1 to 31.
constexpr const char* kA31 = "5DFB308669B50A4EC2147FA9F56C3A974680ED2BD872B10F13CE64A2F95A2F";

TEST(ScramblePassword, StoredVectors) {
    const struct {
        const char* what;
        std::string password;
        std::string stored;
    } rows[] = {
        {"empty", "", ""},
        {"31 characters", std::string(31, 'a'), kA31},
        {"32nd character left as typed", std::string(32, 'a'), std::string(kA31) + "61"},
        {"33rd uses key byte 1 again", std::string(33, 'a'), std::string(kA31) + "615D"},
        {"64 characters", std::string(64, 'a'), std::string(kA31) + "61" + kA31 + "61"},
        {"a character equal to its key byte", "<", "00"},
        {"zero pairs keep the length",
         "<\x9a"
         "Q",
         "000000"},
        {"é is one byte, unsigned", "\xe9", "D5"},
        {"separators are plain bytes", "Sa=1;x", "6FFB6CD633AC"},
        {"uppercase digits", "motdepasse", "51F525836DA40A5CD010"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ScramblePassword(row.password), row.stored) << row.what;
        EXPECT_EQ(UnscramblePassword(row.stored), row.password) << row.what;
    }
}

TEST(ScramblePassword, InverseReturnsEveryPasswordByteForByte) {
    std::mt19937 random(20261211);
    for (int n = 0; n < 2000; ++n) {
        std::string password(random() % 130, '\0');
        for (char& c : password)
            c = static_cast<char>(random() % 256);
        const std::string stored = ScramblePassword(password);
        ASSERT_EQ(stored.size(), 2 * password.size());
        ASSERT_EQ(stored.find_first_not_of("0123456789ABCDEF"), std::string::npos) << stored;
        ASSERT_EQ(UnscramblePassword(stored), password);
    }
}

TEST(UnscramblePassword, TextThatIsNotHexadecimalPairs) {
    for (const char* text : {"5", "5DF", "5G", "  ", "5D FB"})
        EXPECT_EQ(UnscramblePassword(text), std::nullopt) << text;
    EXPECT_EQ(UnscramblePassword("5dfb"), "aa") << "a reader may meet lowercase digits";
}

}  // namespace
