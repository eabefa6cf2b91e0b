#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ingest/inputswitch.h"

namespace vandra {
namespace {

constexpr std::int64_t kTimeoutMs = 300;
constexpr std::int64_t kFailbackMs = 1000;
constexpr std::int64_t kStepMs = 10;

// Drives a switch with both paths' datagrams on a 10 ms grid, as the receiver threads would.
class InputSwitchTest : public ::testing::Test {
protected:
    explicit InputSwitchTest(std::int64_t failbackMs = kFailbackMs)
        : switch_(kTimeoutMs, failbackMs,
                  [this](InputSwitch::Change change, int path, const std::string& reason) {
                      EXPECT_FALSE(reason.empty());
                      changes_.push_back({change, path});
                  }) {
        switch_.start(0);
    }

    // Runs until `untilMs`; a path sends while its predicate says so. Returns how many of the
    // datagrams taken into the stream came from each path.
    template <typename MainSends, typename BackupSends>
    std::array<int, 2> run(std::int64_t untilMs, MainSends mainSends, BackupSends backupSends) {
        std::array<int, 2> taken{};
        for (; nowMs_ < untilMs; nowMs_ += kStepMs) {
            bool any = false;
            if (mainSends(nowMs_)) {
                taken[0] += switch_.onDatagram(InputSwitch::kMain, nowMs_) ? 1 : 0;
                any = true;
            }
            if (backupSends(nowMs_)) {
                taken[1] += switch_.onDatagram(InputSwitch::kBackup, nowMs_) ? 1 : 0;
                any = true;
            }
            if (!any) {
                switch_.onIdle(nowMs_);
            }
        }
        return taken;
    }

    int count(InputSwitch::Change change, int path) const {
        int found = 0;
        for (const auto& [seen, seenPath] : changes_) {
            found += seen == change && seenPath == path ? 1 : 0;
        }
        return found;
    }

    static bool always(std::int64_t) { return true; }
    static bool never(std::int64_t) { return false; }

    InputSwitch switch_;
    std::vector<std::pair<InputSwitch::Change, int>> changes_;
    std::int64_t nowMs_ = 0;
};

TEST_F(InputSwitchTest, FailsOverAfterTimeoutAndBackAfterSteadyDelay) {
    std::array<int, 2> taken = run(1000, always, always);
    EXPECT_EQ(taken[1], 0) << "the backup feeds nothing while the main input delivers";
    EXPECT_TRUE(changes_.empty());

    // Main silent from 1000: down once its gap exceeds the timeout, not before.
    run(1000 + kTimeoutMs, never, always);
    EXPECT_EQ(switch_.active(), InputSwitch::kMain);
    run(1000 + kTimeoutMs + 2 * kStepMs, never, always);
    EXPECT_EQ(switch_.active(), InputSwitch::kBackup);
    EXPECT_EQ(count(InputSwitch::Change::PathDown, 0), 1);

    run(2000, never, always);
    // Main back at 2000: the backup stays until main has delivered for the failback delay.
    taken = run(2000 + kFailbackMs - kStepMs, always, always);
    EXPECT_EQ(switch_.active(), InputSwitch::kBackup);
    EXPECT_EQ(taken[0], 0);
    EXPECT_EQ(count(InputSwitch::Change::PathUp, 0), 1);
    taken = run(2000 + kFailbackMs + kStepMs, always, always);
    EXPECT_EQ(switch_.active(), InputSwitch::kMain);
    EXPECT_EQ(switch_.switches(), 2);
    // The datagram that completes the delay is the first of main's taken; every datagram was
    // taken from exactly one path at every instant.
    EXPECT_EQ(taken[0] + taken[1], 2);
}

TEST_F(InputSwitchTest, FlappingMainCannotOutpaceTheFailbackDelay) {
    run(500, always, always);
    // Main up 200 ms, silent 400 ms (past the timeout), for ten seconds.
    const auto flapping = [](std::int64_t nowMs) { return nowMs % 600 < 200; };
    run(10'500, flapping, always);
    EXPECT_EQ(switch_.switches(), 1) << "once to the backup, and it stays";
    EXPECT_EQ(switch_.active(), InputSwitch::kBackup);
    EXPECT_GE(count(InputSwitch::Change::PathDown, 0), 10);
    EXPECT_EQ(count(InputSwitch::Change::PathDown, 0), count(InputSwitch::Change::PathUp, 0));
}

TEST_F(InputSwitchTest, LeavesADeadBackupForALiveMainAtOnceAndNeverForADeadOne) {
    // Main never sends: the backup takes over, though it is the only one ever heard.
    run(1000, never, always);
    EXPECT_EQ(switch_.active(), InputSwitch::kBackup);
    // Both silent: nothing better to go to, so no switch.
    run(2000, never, never);
    EXPECT_EQ(switch_.active(), InputSwitch::kBackup);
    EXPECT_EQ(switch_.switches(), 1);
    // Main comes back while the backup is down: taken without waiting for the failback delay.
    const std::array<int, 2> taken = run(2100, always, never);
    EXPECT_EQ(switch_.active(), InputSwitch::kMain);
    EXPECT_EQ(taken[0], 10);
}

class InputSwitchNoFailbackTest : public InputSwitchTest {
protected:
    InputSwitchNoFailbackTest() : InputSwitchTest(0) {}
};

TEST_F(InputSwitchNoFailbackTest, StaysOnTheInputThatTookOver) {
    run(500, always, always);
    run(1000, never, always);
    run(60'000, always, always);
    EXPECT_EQ(switch_.active(), InputSwitch::kBackup);
    EXPECT_EQ(switch_.switches(), 1);
}

} // namespace
} // namespace vandra
