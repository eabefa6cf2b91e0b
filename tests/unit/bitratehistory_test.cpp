#include <gtest/gtest.h>

#include "srt/bitratehistory.h"
#include "srt/statssampler.h"

namespace vandra {
namespace {

std::string sampleTime(int n) {
    char text[32];
    std::snprintf(text, sizeof(text), "2026-12-06 10:%02d:%02d", n / 60 % 60, n % 60);
    return text;
}

TEST(BitrateHistory, EmptyHistoryIsAnEmptyArray) {
    BitrateHistory history;
    EXPECT_EQ(history.toJson(), "[]");
}

TEST(BitrateHistory, FirstSampleIsTheOnlyEntry) {
    BitrateHistory history;
    history.add({"2026-12-06 10:00:01", 7812});
    EXPECT_EQ(history.toJson(), "[{\"x\":\"2026-12-06 10:00:01\",\"y\":7812}]");
}

TEST(BitrateHistory, KeepsTheNewestTwentyNewestFirst) {
    BitrateHistory history;
    for (int i = 1; i <= 25; ++i) {
        history.add({sampleTime(i), i});
    }
    std::string expected = "[";
    for (int i = 25; i >= 6; --i) {
        expected += "{\"x\":\"" + sampleTime(i) + "\",\"y\":" + std::to_string(i) + "}";
        expected += i > 6 ? "," : "]";
    }
    EXPECT_EQ(history.toJson(), expected);
}

TEST(BitrateHistory, ResetHidesSamplesAndTheNextAddIsTheOnlyOneShown) {
    BitrateHistory history;
    for (int i = 1; i <= 5; ++i) {
        history.add({sampleTime(i), i});
    }
    history.reset();
    EXPECT_EQ(history.toJson(), "[]");
    history.add({sampleTime(9), 9});
    EXPECT_EQ(history.toJson(), "[{\"x\":\"" + sampleTime(9) + "\",\"y\":9}]");
}

TEST(BitrateHistory, NegativeRateIsWrittenAsItsUnsignedBits) {
    BitrateHistory history;
    history.add({"t", -1});
    EXPECT_EQ(history.toJson(), "[{\"x\":\"t\",\"y\":4294967295}]");
}

TEST(StatsSamplerRate, CountsWholeSecondsAndKibibits) {
    EXPECT_EQ(StatsSampler::kbps(1048576, 3000), 2730);
    EXPECT_EQ(StatsSampler::kbps(1048576, 3999), 2730); // 3.999 s counts as 3
    EXPECT_EQ(StatsSampler::kbps(1048576, 999), 0);
    EXPECT_EQ(StatsSampler::kbps(0, 3000), 0);
    EXPECT_EQ(StatsSampler::kbps(~0ull, 1000), INT32_MAX);
}

TEST(StatsSamplerRate, TimeTextIsNineteenCharacters) {
    const std::string text = StatsSampler::localTimeText(1765000000000);
    ASSERT_EQ(text.size(), 19u);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], ' ');
    EXPECT_EQ(text[13], ':');
}

} // namespace
} // namespace vandra
