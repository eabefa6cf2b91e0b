#pragma once

#include <cstdint>

namespace vandra {

// Spreads a backlog's sending over time at a set rate instead of as fast as the socket takes
// it. A token bucket: the budget accrues at the rate, up to kBurstUs worth, so a late
// wake-up sends a small burst and never a long one. One thread only.
class CatchUpPacer {
public:
    static constexpr std::int64_t kBurstUs = 8000;

    // Starts with a full burst's budget, so the first bytes go at once.
    void start(std::int64_t bytesPerSecond, std::int64_t nowUs);
    void stop() { bytesPerSecond_ = 0; }
    // A faster rate from now on; a slower one is ignored. While active only.
    void raiseTo(std::int64_t bytesPerSecond, std::int64_t nowUs);
    bool active() const { return bytesPerSecond_ > 0; }
    std::int64_t bytesPerSecond() const { return bytesPerSecond_; }
    std::int64_t startedUs() const { return startedUs_; }

    // 0 when `bytes` may go at `nowUs`, and takes them from the budget; otherwise the
    // microseconds until they may, and takes nothing.
    std::int64_t take(std::int32_t bytes, std::int64_t nowUs);

private:
    std::int64_t bytesPerSecond_ = 0;
    std::int64_t startedUs_ = 0;
    std::int64_t lastUs_ = 0;
    double budget_ = 0; // bytes
};

} // namespace vandra
