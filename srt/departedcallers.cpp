#include "srt/departedcallers.h"

#include <algorithm>

namespace vandra {

void DepartedCallers::add(DepartedCaller caller) {
    MutexLock lock(mutex_);
    ++totals_[static_cast<std::size_t>(caller.reason)];
    callers_.push_back(std::move(caller));
    if (callers_.size() > kKept) {
        callers_.pop_front();
    }
}

std::vector<DepartedCaller> DepartedCallers::recent(std::int64_t nowMs) const {
    MutexLock lock(mutex_);
    std::vector<DepartedCaller> found;
    found.reserve(callers_.size());
    for (auto it = callers_.rbegin(); it != callers_.rend(); ++it) {
        if (nowMs - it->endedMs <= kKeptMs) {
            found.push_back(*it);
        }
    }
    // Callers removed in one pass come in accept order, not in the order they ended.
    std::stable_sort(
        found.begin(), found.end(),
        [](const DepartedCaller& a, const DepartedCaller& b) { return a.endedMs > b.endedMs; });
    return found;
}

std::uint64_t DepartedCallers::total(EndReason reason) const {
    MutexLock lock(mutex_);
    return totals_[static_cast<std::size_t>(reason)];
}

} // namespace vandra
