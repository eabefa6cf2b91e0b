#include <algorithm>
#include <cstdint>
#include <set>
#include <span>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "ingest/rtpmerge.h"
#include "ingest/rtpsequencer.h"

// Two paths of one RTP stream through the merge into one sequencer, one packet a millisecond,
// at arrival times the test chooses.
namespace vandra {
namespace {

constexpr std::int64_t kWindowMs = 150;
constexpr std::uint32_t kSsrc = 7;

struct Arrival {
    std::int64_t atMs;
    int path;
    std::uint16_t sequence;
    std::uint32_t ssrc;
};

class RtpMergeTest : public ::testing::Test {
protected:
    // Numbers 0..count-1, path 1 at n ms and path 2 `lagMs` later, each without its drops.
    void sendBoth(int count, std::int64_t lagMs, const std::set<int>& dropsFirst,
                  const std::set<int>& dropsSecond) {
        std::vector<Arrival> arrivals;
        for (int n = 0; n < count; ++n) {
            const auto sequence = static_cast<std::uint16_t>(n);
            if (!dropsFirst.contains(n)) {
                arrivals.push_back({n, 0, sequence, kSsrc});
            }
            if (!dropsSecond.contains(n)) {
                arrivals.push_back({n + lagMs, 1, sequence, kSsrc});
            }
        }
        feed(std::move(arrivals));
        finish();
    }

    void feed(std::vector<Arrival> arrivals) {
        std::stable_sort(arrivals.begin(), arrivals.end(),
                         [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
        for (const Arrival& arrival : arrivals) {
            tickTo(arrival.atMs);
            const std::uint8_t payload[4] = {};
            if (merge_.admit(arrival.path, arrival.sequence, arrival.ssrc, arrival.atMs)) {
                sequencer_.push(arrival.sequence, arrival.ssrc, payload, arrival.atMs);
            }
        }
    }

    void finish() { tickTo(nowMs_ + 2 * kWindowMs); }

    void tickTo(std::int64_t atMs) {
        for (; nowMs_ < atMs; ++nowMs_) {
            sequencer_.tick(nowMs_);
            merge_.tick(nowMs_);
        }
    }

    static std::vector<std::uint16_t> numbersWithout(int count, const std::set<int>& missing) {
        std::vector<std::uint16_t> numbers;
        for (int n = 0; n < count; ++n) {
            if (!missing.contains(n)) {
                numbers.push_back(static_cast<std::uint16_t>(n));
            }
        }
        return numbers;
    }

    RtpSequencer sequencer_{[this](std::uint16_t sequence, std::span<const std::uint8_t>) {
                                delivered_.push_back(sequence);
                            },
                            RtpMerge::sequencerWindow(kWindowMs)};
    RtpMerge merge_{kWindowMs};
    std::vector<std::uint16_t> delivered_;
    std::int64_t nowMs_ = 0;
};

// Losses on each path, none on both, path 2 100 ms behind and path 1 silent for 300 ms: the
// output misses nothing and repeats nothing, and each path's loss is what it did not bring.
// Guards: a gap given up before the lagging path fills it, a second copy delivered, per-path
// loss counted from the merged output instead of the path's own numbers.
TEST_F(RtpMergeTest, EveryNumberOnceInOrderWhenTheOtherPathCoversEachLoss) {
    constexpr int kCount = 3000;
    std::set<int> dropsFirst;
    std::set<int> dropsSecond;
    for (int n = 1; n < kCount - 1; ++n) {
        if (n % 7 == 3 || (n >= 500 && n < 800)) {
            dropsFirst.insert(n);
        } else if (n % 13 == 5 || (n >= 2000 && n < 2040)) {
            dropsSecond.insert(n);
        }
    }
    sendBoth(kCount, 100, dropsFirst, dropsSecond);

    EXPECT_EQ(delivered_, numbersWithout(kCount, {}));
    EXPECT_EQ(sequencer_.counters().lost, 0u);
    EXPECT_EQ(sequencer_.counters().late, 0u);
    EXPECT_EQ(merge_.pathLost(0), dropsFirst.size());
    EXPECT_EQ(merge_.pathLost(1), dropsSecond.size());
    EXPECT_FALSE(merge_.mismatched()) << merge_.mismatchReason();
}

// Guards: a number lost on both paths counted twice in the merged loss, or not in each path's.
TEST_F(RtpMergeTest, LossOnBothPathsCountsOnceForTheOutputAndOnceForEachPath) {
    constexpr int kCount = 1000;
    const std::set<int> both = {100, 101, 400, 777};
    std::set<int> dropsFirst = both;
    std::set<int> dropsSecond = both;
    dropsFirst.insert(300);
    dropsSecond.insert(301);
    sendBoth(kCount, 20, dropsFirst, dropsSecond);

    EXPECT_EQ(delivered_, numbersWithout(kCount, both));
    EXPECT_EQ(sequencer_.counters().lost, both.size());
    EXPECT_EQ(merge_.pathLost(0), dropsFirst.size());
    EXPECT_EQ(merge_.pathLost(1), dropsSecond.size());
}

// A new SSRC (an encoder restart) that reaches path 1 100 ms before path 2 is one stream
// restarting, not two streams; two different SSRCs for a second, or numbers far apart, are.
// Guards: a restart torn apart or taken for a mismatch, a mismatch never noticed, or the other
// stream's packets interleaved into the output before it is noticed.
TEST_F(RtpMergeTest, DifferentStreamsOnTheTwoPathsAreReportedOnceNoticed) {
    std::vector<Arrival> arrivals;
    for (int n = 0; n < 600; ++n) {
        const std::uint32_t ssrc = n < 300 ? kSsrc : kSsrc + 1;
        const auto sequence = static_cast<std::uint16_t>(n < 300 ? n : 40000 + n);
        arrivals.push_back({n, 0, sequence, ssrc});
        arrivals.push_back({n + 100, 1, sequence, ssrc});
    }
    feed(arrivals);
    finish();
    EXPECT_FALSE(merge_.mismatched()) << merge_.mismatchReason();
    EXPECT_EQ(delivered_.size(), 600u);
    EXPECT_EQ(sequencer_.counters().lost, 0u);

    const auto twoStreams = [this](std::uint32_t secondSsrc, std::uint16_t secondOffset) {
        sequencer_ =
            RtpSequencer([this](std::uint16_t sequence,
                                std::span<const std::uint8_t>) { delivered_.push_back(sequence); },
                         RtpMerge::sequencerWindow(kWindowMs));
        merge_ = RtpMerge(kWindowMs);
        delivered_.clear();
        std::vector<Arrival> pairs;
        for (int n = 0; n < 1200; ++n) {
            const auto sequence = static_cast<std::uint16_t>(n);
            pairs.push_back({nowMs_ + n, 0, sequence, kSsrc});
            pairs.push_back(
                {nowMs_ + n, 1, static_cast<std::uint16_t>(sequence + secondOffset), secondSsrc});
        }
        const std::int64_t start = nowMs_;
        feed(std::vector(pairs.begin(), pairs.begin() + 1800)); // 900 ms
        EXPECT_FALSE(merge_.mismatched()) << "after " << nowMs_ - start << " ms";
        feed(std::vector(pairs.begin() + 1800, pairs.end()));
        EXPECT_TRUE(merge_.mismatched());
        EXPECT_EQ(delivered_, numbersWithout(1200, {})) << "only the first stream delivered";
        return merge_.mismatchReason();
    };
    EXPECT_EQ(twoStreams(kSsrc + 1, 0), "SSRC 7 on input 1, 8 on input 2");
    // Noticed on a packet of path 1, by then a number further on.
    EXPECT_EQ(twoStreams(kSsrc, 30000), "sequence numbers 29999 apart");
}

} // namespace
} // namespace vandra
