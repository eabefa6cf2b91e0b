#include <gtest/gtest.h>

#include "core/bitratehistory.h"

namespace vandra {
namespace {

std::string sampleTime(int n) {
    char text[32];
    std::snprintf(text, sizeof(text), "2026-12-06 10:%02d:%02d", n / 60 % 60, n % 60);
    return text;
}

std::string entry(int n) {
    return "{\"x\":\"" + sampleTime(n) + "\",\"y\":" + std::to_string(n) + "}";
}

TEST(BitrateHistory, KeepsTheNewestTwentyNewestFirstUntilReset) {
    BitrateHistory history;
    EXPECT_EQ(history.toJson(), "[]");
    history.add({sampleTime(1), 1});
    EXPECT_EQ(history.toJson(), "[" + entry(1) + "]");
    for (int i = 2; i <= 25; ++i) {
        history.add({sampleTime(i), i});
    }
    std::string expected = "[";
    for (int i = 25; i >= 6; --i) {
        expected += entry(i) + (i > 6 ? "," : "]");
    }
    EXPECT_EQ(history.toJson(), expected);
    EXPECT_EQ(history.latestKbps(), 25);
    history.reset(); // samples hidden until the next add
    EXPECT_EQ(history.toJson(), "[]");
    EXPECT_EQ(history.latestKbps(), 0);
    history.add({sampleTime(9), 9});
    EXPECT_EQ(history.toJson(), "[" + entry(9) + "]");
}

TEST(BitrateRate, CountsWholeSecondsAndKibibits) {
    EXPECT_EQ(kbpsOver(1048576, 3000), 2730);
    EXPECT_EQ(kbpsOver(1048576, 3999), 2730); // 3.999 s counts as 3
    EXPECT_EQ(kbpsOver(1048576, 999), 0);
    EXPECT_EQ(kbpsOver(~0ull, 1000), INT32_MAX);
}

TEST(BitrateRate, MeterMeasuresOverTheTimeSinceItsLastSample) {
    RateMeter meter;
    meter.start(10'000);
    EXPECT_EQ(meter.sample(1048576, 13'000), 2730);
    EXPECT_EQ(meter.sample(1048576, 16'000), 0);
    EXPECT_EQ(meter.sample(2 * 1048576, 16'500), 0); // under a second: 0, as specified
    EXPECT_EQ(meter.sample(3 * 1048576, 19'500), 2730);
}

} // namespace
} // namespace vandra
