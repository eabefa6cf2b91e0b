#pragma once

#include <cstdint>

namespace vandra {

// Lets one report through per interval and counts the events held back meanwhile, so that a
// fault that repeats cannot flood the log. One thread only.
class RateLimiter {
public:
    explicit RateLimiter(std::int64_t intervalMs) : intervalMs_(intervalMs) {}

    // True when this event may be reported now (always the first one).
    bool allow(std::int64_t nowMs) {
        if (reported_ && nowMs - lastReportMs_ < intervalMs_) {
            ++held_;
            return false;
        }
        reported_ = true;
        lastReportMs_ = nowMs;
        suppressed_ = held_;
        held_ = 0;
        return true;
    }
    // Events held back between the report before the one just allowed and that one.
    std::int64_t suppressed() const { return suppressed_; }

private:
    const std::int64_t intervalMs_;
    bool reported_ = false;
    std::int64_t lastReportMs_ = 0;
    std::int64_t held_ = 0;
    std::int64_t suppressed_ = 0;
};

} // namespace vandra
