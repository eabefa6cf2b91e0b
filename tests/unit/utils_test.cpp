#include <gtest/gtest.h>

#include "core/utils.h"

namespace vandra {
namespace {

TEST(TextHelpers, TrimAndToLowerUseTheCLocaleOnly) {
    EXPECT_EQ(trim(" \t\r\n\v\fa b\r\n"), "a b");
    EXPECT_EQ(trim("   "), "");
    EXPECT_EQ(trim("\xA0x\xA0"), "\xA0x\xA0"); // bytes from 0x80 up are never blanks
    EXPECT_EQ(toLower("SoUrCe_1\xC4"), "source_1\xC4");
}

TEST(TextHelpers, SplitKeepsEmptyPiecesAndEraseAllSearchesAgainWhereARemovalBegan) {
    EXPECT_EQ(split(":a::b:", ":"), (std::vector<std::string>{"", "a", "", "b", ""}));
    EXPECT_EQ(split("", ":"), (std::vector<std::string>{""}));
    EXPECT_EQ(eraseAll("udp://a:udp://1", "udp://"), "a:1");
    EXPECT_EQ(eraseAll("aabb", "ab"), "ab");
    EXPECT_EQ(eraseAll("abab", "ab"), "");
}

TEST(TextHelpers, NumbersFollowTheStandardConversion) {
    EXPECT_TRUE(isNumber("0123"));
    for (const char* text : {"", "+9000", "-1", "90 00"}) {
        EXPECT_FALSE(isNumber(text)) << text;
    }
    EXPECT_EQ(toInt32("300ms"), 300);
    EXPECT_EQ(toInt32("  -12x"), -12);
    EXPECT_EQ(toInt32("2147483647"), 2147483647);
    for (const char* text : {"2147483648", "99999999999999999999999", "abc", ""}) {
        EXPECT_FALSE(toInt32(text)) << text;
    }
}

// Guards against text from outside breaking a JSON document or forging log lines.
TEST(TextHelpers, EscapesForJsonAndForTheLog) {
    EXPECT_EQ(jsonEscape("239.1.1.1"), "239.1.1.1");
    EXPECT_EQ(jsonEscape("a\"b\\c\n\x01"), "a\\\"b\\\\c\\u000a\\u0001");
    EXPECT_EQ(escapeForLog("#!::u=alice,r=live"), "#!::u=alice,r=live");
    EXPECT_EQ(escapeForLog("x\nREMOVE  rightserver  9\x1b[2J\x7f"),
              "x\\x0aREMOVE  rightserver  9\\x1b[2J\\x7f");
}

} // namespace
} // namespace vandra
