#include "platform/text.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::literals;

TEST(Text, FrenchLiteralsBecomeWindows1252) {
    EXPECT_EQ("é"_ansi, "\xE9");
    EXPECT_EQ("Préparation"_ansi, "Pr\xE9paration");
    EXPECT_EQ("€"_ansi, "\x80");
}
