#pragma once

#include <atomic>
#include <cstdint>

namespace vandra {

// The share of the uplink that fast-start catch-ups may take together: a number of slots, each
// one catch-up paced at its own multiple of the input's rate. A caller that finds every slot
// taken waits in its own buffer and asks again; one that waits too long starts live instead
// (`noteGaveWay`). Thread safe: every caller's thread asks.
class CatchUpBudget {
public:
    static constexpr std::int32_t kDefaultSlots = 8;
    // Callers that give way less than this far apart belong to one burst, logged once.
    static constexpr std::int64_t kBurstGapMs = 5000;

    explicit CatchUpBudget(std::int32_t slots = kDefaultSlots) : slots_(slots) {}
    CatchUpBudget(const CatchUpBudget&) = delete;
    CatchUpBudget& operator=(const CatchUpBudget&) = delete;

    // Before any caller.
    void setSlots(std::int32_t slots) { slots_.store(slots, std::memory_order_relaxed); }
    std::int32_t slots() const { return slots_.load(std::memory_order_relaxed); }
    std::int32_t inUse() const { return inUse_.load(std::memory_order_relaxed); }

    // Takes a slot and returns true, or returns false when all are taken.
    bool tryAcquire();
    // Gives back a slot taken with tryAcquire.
    void release() { inUse_.fetch_sub(1, std::memory_order_acq_rel); }
    // Counts a caller that gave up waiting and started live; true for the first of a burst,
    // whose line the caller writes.
    bool noteGaveWay(std::int64_t nowMs);
    std::int64_t gaveWayTotal() const { return gaveWay_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::int32_t> slots_;
    std::atomic<std::int32_t> inUse_{0};
    std::atomic<std::int64_t> gaveWay_{0};
    std::atomic<std::int64_t> lastGaveWayMs_{-kBurstGapMs};
};

} // namespace vandra
