#pragma once

#include <array>
#include <cstdint>
#include <deque>

#include "core/mutex.h"
#include "srt/handshakemonitor.h"

namespace vandra {

// Refusals by reason over the last 10 minutes, to the minute: the sampler files the running
// totals once a minute, and a reader subtracts the oldest filing still inside the window from
// the totals of now. The listen hook never sees it, so refusing a flood costs nothing more.
// Thread safe.
class RefusalWindow {
public:
    static constexpr std::int64_t kWindowMs = 10 * 60'000;
    static constexpr std::int64_t kFilingMs = 60'000;
    using Counts = std::array<std::uint64_t, kRefusalReasons.size()>;

    // The sampler, with steady milliseconds. The first call files zeros: everything refused
    // before it happened within the window.
    void file(std::int64_t nowMs, const Counts& totals) EXCLUDES(mutex_);
    // The refusals among `totals` that happened in the window before `nowMs`.
    Counts recent(std::int64_t nowMs, const Counts& totals) const EXCLUDES(mutex_);

private:
    struct Filing {
        std::int64_t atMs = 0;
        Counts totals{};
    };

    // guards filings_
    mutable Mutex mutex_;
    std::deque<Filing> filings_ GUARDED_BY(mutex_); // oldest first, at most 11
};

} // namespace vandra
