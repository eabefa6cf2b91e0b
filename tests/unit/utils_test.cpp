#include <gtest/gtest.h>

#include "app/utils.h"

namespace vandra {
namespace {

TEST(TextHelpers, TrimRemovesCLocaleBlanksOnly) {
    EXPECT_EQ(trim(" \t\r\n\v\fa b\r\n"), "a b");
    EXPECT_EQ(trim("   "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("\xA0x\xA0"), "\xA0x\xA0"); // bytes from 0x80 up are never blanks
}

TEST(TextHelpers, ToLowerFoldsAsciiOnly) {
    EXPECT_EQ(toLower("SoUrCe_1\xC4"), "source_1\xC4");
}

TEST(TextHelpers, StartsWith) {
    EXPECT_TRUE(startsWith("udp://x", "udp://"));
    EXPECT_TRUE(startsWith("abc", ""));
    EXPECT_FALSE(startsWith("ud", "udp"));
    EXPECT_FALSE(startsWith("xudp", "udp"));
}

TEST(TextHelpers, SplitKeepsEmptyPieces) {
    EXPECT_EQ(split(":a::b:", ":"), (std::vector<std::string>{"", "a", "", "b", ""}));
    EXPECT_EQ(split("abc", ":"), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(split("", ":"), (std::vector<std::string>{""}));
}

TEST(TextHelpers, EraseAllSearchesAgainWhereARemovalBegan) {
    EXPECT_EQ(eraseAll("udp://a:udp://1", "udp://"), "a:1");
    // The search goes on from where the removal began, not from the start.
    EXPECT_EQ(eraseAll("aabb", "ab"), "ab");
    EXPECT_EQ(eraseAll("abab", "ab"), "");
}

TEST(TextHelpers, IsNumberRejectsSignsAndBlanks) {
    EXPECT_TRUE(isNumber("0123"));
    EXPECT_FALSE(isNumber(""));
    EXPECT_FALSE(isNumber("+9000"));
    EXPECT_FALSE(isNumber("-1"));
    EXPECT_FALSE(isNumber("90 00"));
}

TEST(TextHelpers, ToInt32FollowsTheStandardConversion) {
    EXPECT_EQ(toInt32("300ms"), 300);
    EXPECT_EQ(toInt32("  -12x"), -12);
    EXPECT_EQ(toInt32("2147483647"), 2147483647);
    EXPECT_FALSE(toInt32("2147483648"));
    EXPECT_FALSE(toInt32("99999999999999999999999"));
    EXPECT_FALSE(toInt32("abc"));
    EXPECT_FALSE(toInt32(""));
}

TEST(TextHelpers, JsonEscapeLeavesOrdinaryTextAlone) {
    EXPECT_EQ(jsonEscape("239.1.1.1"), "239.1.1.1");
    EXPECT_EQ(jsonEscape("a\"b\\c\n\x01"), "a\\\"b\\\\c\\u000a\\u0001");
}

TEST(TextHelpers, ExeDirectoryIsTheTestBinaryFolder) {
    const std::string dir = exeDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
    EXPECT_EQ(dir.front(), '/');
}

struct UrlCase {
    const char* source;
    const char* group;
    const char* port;
    const char* iface;
};

class ParseSrtUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ParseSrtUrl, SplitsGroupPortAndInterface) {
    const UrlCase& c = GetParam();
    testing::internal::CaptureStdout();
    const SourceAddress result = parseSrtUrl(c.source, "udp://");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result.group, c.group);
    EXPECT_EQ(result.port, c.port);
    EXPECT_EQ(result.iface, c.iface);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseSrtUrl,
    ::testing::Values(
        UrlCase{"udp://239.1.1.1:5000", "239.1.1.1", "5000", ""},
        UrlCase{"239.1.1.1:5000", "239.1.1.1", "5000", ""},
        UrlCase{"udp://239.1.1.1:5000(192.168.1.20)", "239.1.1.1", "5000", "192.168.1.20"},
        UrlCase{"udp://239.1.1.1:5000(192.168.1.20:7000)", "239.1.1.1", "5000", "192.168.1.20"},
        UrlCase{"udp://239.1.1.1:5000(192.168.1.20", "239.1.1.1", "5000", "192.168.1.2"},
        UrlCase{"udp://239.1.1.1:5000()", "239.1.1.1", "5000", ""},
        UrlCase{"udp://239.1.1.1 : 5000", "239.1.1.1", "5000", ""},
        UrlCase{"udp://@239.1.1.1:5000", "@239.1.1.1", "5000", ""},
        UrlCase{"udp://239.1.1.1:99999", "239.1.1.1", "99999", ""},
        UrlCase{"udp://239.1.1.1:5000( 10.0.0.1 )x", "239.1.1.1", "5000", " 10.0.0.1 "},
        UrlCase{"(192.168.1.20)239.1.1.1:5000", "(192.168.1.20)239.1.1.1", "5000", ""},
        UrlCase{"", "", "", ""}));

struct UrlFailure {
    const char* source;
    const char* logged;
    const char* iface;
};

class ParseSrtUrlFailure : public ::testing::TestWithParam<UrlFailure> {};

TEST_P(ParseSrtUrlFailure, LogsWhyAndLeavesGroupAndPortEmpty) {
    const UrlFailure& c = GetParam();
    testing::internal::CaptureStdout();
    const SourceAddress result = parseSrtUrl(c.source, "udp://");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result.group, "");
    EXPECT_EQ(result.port, "");
    EXPECT_EQ(result.iface, c.iface);
    EXPECT_TRUE(startsWith(log, std::string(c.logged) + "  utils  ")) << log;
    EXPECT_EQ(log.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseSrtUrlFailure,
    ::testing::Values(UrlFailure{"udp://239.1.1.1", "-- fail parseSrtUrl size 1", ""},
                      UrlFailure{"srt://239.1.1.1:5000", "-- fail parseSrtUrl size 3", ""},
                      UrlFailure{"udp://239.1.1.1:50a0", "-- fail parseSrtUrl isNumber 50a0", ""},
                      UrlFailure{"udp://239.1.1.1:", "-- fail parseSrtUrl isNumber ", ""},
                      UrlFailure{"udp://:5000", "-- fail parseSrtUrl isNumber 5000", ""},
                      UrlFailure{"udp://239.1.1.1:(10.1.1.1)", "-- fail parseSrtUrl isNumber ",
                                 "10.1.1.1"}));

} // namespace
} // namespace vandra
