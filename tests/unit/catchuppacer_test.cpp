#include <cstdint>

#include <gtest/gtest.h>

#include "srt/catchuppacer.h"

namespace vandra {
namespace {

constexpr std::int32_t kChunk = 1316;

// Sends chunks for `durationUs` of a simulated clock, sleeping as the pacer says, with each
// wake-up `lateUs` later than asked; returns the bytes sent.
std::int64_t sendFor(CatchUpPacer& pacer, std::int64_t& nowUs, std::int64_t durationUs,
                     std::int64_t lateUs = 0) {
    const std::int64_t endUs = nowUs + durationUs;
    std::int64_t sent = 0;
    while (nowUs < endUs) {
        const std::int64_t waitUs = pacer.take(kChunk, nowUs);
        if (waitUs == 0) {
            sent += kChunk;
        } else {
            nowUs += waitUs + lateUs;
        }
    }
    return sent;
}

TEST(CatchUpPacer, HoldsItsRateAfterTheFirstBurst) {
    CatchUpPacer pacer;
    std::int64_t nowUs = 5'000'000;
    pacer.start(2'000'000, nowUs);
    const std::int64_t burst = 2'000'000 * CatchUpPacer::kBurstUs / 1'000'000;
    const std::int64_t sent = sendFor(pacer, nowUs, 1'000'000);
    EXPECT_GE(sent, 2'000'000 + burst - 2 * kChunk);
    EXPECT_LE(sent, 2'000'000 + burst + kChunk);

    // The input turned out faster than first measured: the new rate holds from then on; a
    // slower one does not lower it.
    pacer.raiseTo(4'000'000, nowUs);
    pacer.raiseTo(1'000'000, nowUs);
    const std::int64_t faster = sendFor(pacer, nowUs, 1'000'000);
    EXPECT_GE(faster, 4'000'000 - 2 * kChunk);
    EXPECT_LE(faster, 4'000'000 + 2 * burst + kChunk);
}

TEST(CatchUpPacer, LateWakeUpsSendShortBurstsAndAPauseBanksNothing) {
    CatchUpPacer pacer;
    std::int64_t nowUs = 0;
    pacer.start(1'000'000, nowUs);
    // Woken 3 ms late every time: within the burst allowance, so the rate holds.
    const std::int64_t sent = sendFor(pacer, nowUs, 2'000'000, 3000);
    EXPECT_GE(sent, 2'000'000 - 5 * kChunk);
    // The same at a rate where a whole burst is less than a chunk.
    CatchUpPacer slow;
    std::int64_t slowUs = 0;
    slow.start(150'000, slowUs);
    EXPECT_GE(sendFor(slow, slowUs, 2'000'000, 3000), 300'000 - 2 * kChunk);

    nowUs += 1'000'000; // a second without sending
    int atOnce = 0;
    while (pacer.take(kChunk, nowUs) == 0) {
        ++atOnce;
    }
    EXPECT_EQ(atOnce, 1'000'000 * CatchUpPacer::kBurstUs / 1'000'000 / kChunk);
}

TEST(CatchUpPacer, SaysHowLongToWaitAndNeverBlocksWhenStopped) {
    CatchUpPacer pacer;
    EXPECT_EQ(pacer.take(kChunk, 0), 0) << "never started";
    // A burst's budget holds one chunk but not two: the second waits for what it lacks.
    constexpr std::int64_t kRate = 200'000;
    pacer.start(kRate, 0);
    EXPECT_EQ(pacer.take(kChunk, 0), 0);
    const std::int64_t burst = kRate * CatchUpPacer::kBurstUs / 1'000'000;
    const std::int64_t waitUs = pacer.take(kChunk, 0);
    EXPECT_NEAR(static_cast<double>(waitUs), (2.0 * kChunk - burst) * 1e6 / kRate, 1.0);
    EXPECT_GT(pacer.take(kChunk, waitUs - 10), 0);
    EXPECT_EQ(pacer.take(kChunk, waitUs), 0);
    pacer.stop();
    EXPECT_FALSE(pacer.active());
    EXPECT_EQ(pacer.take(kChunk, waitUs), 0);
}

} // namespace
} // namespace vandra
