#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/mutex.h"
#include "srt/callersnapshot.h"

namespace vandra {

// The callers that left lately, and how many left for each reason since the start. Filled by
// the sampler as it removes callers, read by documents. Thread safe; its mutex is taken alone.
class DepartedCallers {
public:
    static constexpr std::size_t kKept = 50;
    static constexpr std::int64_t kKeptMs = 10 * 60 * 1000;

    void add(DepartedCaller caller) EXCLUDES(mutex_);
    // Those that left in the kKeptMs before `nowMs` (wall clock), newest first, at most kKept.
    std::vector<DepartedCaller> recent(std::int64_t nowMs) const EXCLUDES(mutex_);
    // Callers that left for `reason` since the start.
    std::uint64_t total(EndReason reason) const EXCLUDES(mutex_);

private:
    static constexpr std::size_t kReasons = static_cast<std::size_t>(EndReason::Withdrawn) + 1;

    mutable Mutex mutex_;                                   // guards everything below
    std::deque<DepartedCaller> callers_ GUARDED_BY(mutex_); // oldest first
    std::array<std::uint64_t, kReasons> totals_ GUARDED_BY(mutex_){};
};

} // namespace vandra
