#include "srt/catchuppacer.h"

#include <algorithm>
#include <cmath>

namespace vandra {

namespace {
constexpr double kUsPerSecond = 1e6;
}

void CatchUpPacer::start(std::int64_t bytesPerSecond, std::int64_t nowUs) {
    bytesPerSecond_ = std::max<std::int64_t>(bytesPerSecond, 0);
    startedUs_ = nowUs;
    lastUs_ = nowUs;
    budget_ = static_cast<double>(bytesPerSecond_) * kBurstUs / kUsPerSecond;
}

void CatchUpPacer::raiseTo(std::int64_t bytesPerSecond, std::int64_t nowUs) {
    if (!active() || bytesPerSecond <= bytesPerSecond_) {
        return;
    }
    take(0, nowUs); // what accrued so far counts at the old rate
    bytesPerSecond_ = bytesPerSecond;
}

std::int64_t CatchUpPacer::take(std::int32_t bytes, std::int64_t nowUs) {
    if (!active()) {
        return 0;
    }
    const double rate = static_cast<double>(bytesPerSecond_);
    // Room for two chunks at least: at a rate where a burst is less than a chunk, what a late
    // wake-up adds beyond the chunk that was waiting must carry over, or the rate falls below
    // the stream's and the caller never catches up.
    const double cap = std::max(rate * kBurstUs / kUsPerSecond, 2.0 * bytes);
    budget_ = std::min(cap, budget_ + rate * static_cast<double>(nowUs - lastUs_) / kUsPerSecond);
    lastUs_ = nowUs;
    if (budget_ >= bytes) {
        budget_ -= bytes;
        return 0;
    }
    return std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::ceil((bytes - budget_) * kUsPerSecond / rate)));
}

} // namespace vandra
