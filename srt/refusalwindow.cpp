#include "srt/refusalwindow.h"

namespace vandra {

void RefusalWindow::file(std::int64_t nowMs, const Counts& totals) {
    MutexLock lock(mutex_);
    if (filings_.empty()) {
        filings_.push_back({nowMs, Counts{}});
    }
    if (nowMs - filings_.back().atMs >= kFilingMs) {
        filings_.push_back({nowMs, totals});
    }
    while (filings_.size() > 1 && nowMs - filings_.front().atMs > kWindowMs) {
        filings_.pop_front();
    }
}

RefusalWindow::Counts RefusalWindow::recent(std::int64_t nowMs, const Counts& totals) const {
    Counts base{};
    {
        MutexLock lock(mutex_);
        // With no filing inside the window (the sampler held up), the latest is the best base.
        if (!filings_.empty()) {
            base = filings_.back().totals;
        }
        for (const Filing& filing : filings_) {
            if (nowMs - filing.atMs <= kWindowMs) {
                base = filing.totals;
                break;
            }
        }
    }
    Counts recent{};
    for (std::size_t i = 0; i < recent.size(); ++i) {
        // A base above the totals would only come from a caller mixing up its totals.
        recent[i] = totals[i] >= base[i] ? totals[i] - base[i] : 0;
    }
    return recent;
}

} // namespace vandra
