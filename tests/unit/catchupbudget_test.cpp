#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "srt/catchupbudget.h"

namespace vandra {
namespace {

// Callers' threads race for the slots: never more catch-ups at once than slots, and every
// slot given back can be taken again.
TEST(CatchUpBudgetThreads, NeverMoreCatchUpsAtOnceThanSlots) {
    CatchUpBudget budget(3);
    std::atomic<int> running{0};
    std::atomic<int> most{0};
    std::atomic<int> taken{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 6; ++i) {
        callers.emplace_back([&] {
            for (int attempt = 0; attempt < 2000; ++attempt) {
                if (!budget.tryAcquire()) {
                    std::this_thread::yield();
                    continue;
                }
                const int now = running.fetch_add(1) + 1;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                taken.fetch_add(1);
                running.fetch_sub(1);
                budget.release();
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_LE(most.load(), 3);
    EXPECT_GT(taken.load(), 0);
    EXPECT_EQ(budget.inUse(), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(budget.tryAcquire());
    }
    EXPECT_FALSE(budget.tryAcquire());
}

// Callers that give way close together are one burst, logged by its first; all are counted.
TEST(CatchUpBudget, GivingWayIsCountedAlwaysAndReportedOncePerBurst) {
    CatchUpBudget budget;
    EXPECT_TRUE(budget.noteGaveWay(100'000));
    EXPECT_FALSE(budget.noteGaveWay(101'000));
    EXPECT_FALSE(budget.noteGaveWay(105'500)) << "4.5 s after the one before: same burst";
    EXPECT_TRUE(budget.noteGaveWay(111'000));
    EXPECT_EQ(budget.gaveWayTotal(), 4);
}

} // namespace
} // namespace vandra
