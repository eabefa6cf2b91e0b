#include <cstdint>

#include <gtest/gtest.h>

#include "ingest/inputmonitor.h"
#include "logcapture.h"

// Silence detection with both clocks passed in, so clock disagreement can be staged exactly.
namespace vandra {
namespace {

constexpr std::int64_t kWall = 1'700'000'000'000;

TEST(InputMonitor, StallBeginsExactlyAtTheLastDatagramAndEndsWithTheNextOne) {
    LogCapture log;
    InputMonitor monitor;
    monitor.setTimeout(2000);
    monitor.start(1000, kWall);
    // The wall clock read a millisecond short of the steady one here: the stall must still
    // not begin before the datagram the status shows as the latest.
    monitor.onDatagram(1500, kWall + 499);
    monitor.onIdle(3499);
    ASSERT_FALSE(monitor.stalled());
    monitor.onIdle(3500);
    ASSERT_TRUE(monitor.stalled());
    EXPECT_EQ(monitor.lastDatagramMs(), kWall + 499);
    EXPECT_EQ(monitor.stalledSinceMs(), monitor.lastDatagramMs());

    monitor.onIdle(9000); // still the same stall
    monitor.onDatagram(9100, kWall + 8100);
    EXPECT_FALSE(monitor.stalled());
    EXPECT_EQ(monitor.stalledSinceMs(), 0);
    EXPECT_EQ(monitor.stallsTotal(), 1);
    EXPECT_EQ(log.count("-- input stalled: no datagram for 2000 ms"), 1);
    EXPECT_EQ(log.count("-- input resumed after 7600 ms"), 1);

    // An input that never came is stalled since the start, but that is no stall to count or log.
    InputMonitor never;
    never.setTimeout(2000);
    never.start(1000, kWall);
    never.onIdle(3000);
    ASSERT_TRUE(never.stalled());
    EXPECT_EQ(never.stalledSinceMs(), kWall);
    EXPECT_EQ(never.lastDatagramMs(), 0);
    EXPECT_EQ(never.stallsTotal(), 0);
    EXPECT_EQ(log.count("-- input stalled"), 1);
}

} // namespace
} // namespace vandra
