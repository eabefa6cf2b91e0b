#include "srt/catchupbudget.h"

namespace vandra {

bool CatchUpBudget::tryAcquire() {
    std::int32_t taken = inUse_.load(std::memory_order_relaxed);
    while (taken < slots()) {
        if (inUse_.compare_exchange_weak(taken, taken + 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

bool CatchUpBudget::noteGaveWay(std::int64_t nowMs) {
    gaveWay_.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t previous = lastGaveWayMs_.exchange(nowMs, std::memory_order_relaxed);
    return nowMs - previous >= kBurstGapMs;
}

} // namespace vandra
