#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/mutex.h"

namespace vandra {

// The local-time text of a sample, e.g. "2026-12-06 04:30:15".
inline constexpr const char* kSampleTimeFormat = "%Y-%m-%d %H:%M:%S";

struct BitrateSample {
    std::string time;      // local time of the sampling pass, kSampleTimeFormat
    std::int32_t kbps = 0; // 1 kbit = 1024 bits
};

// kbit/s (1 kbit = 1024 bits) over whole elapsed seconds; 0 below one second.
std::int32_t kbpsOver(std::uint64_t deltaBytes, std::uint32_t elapsedMs);

// Turns a growing byte total into one rate per sample, over the time since the previous one.
// `start` may come from another thread than `sample`; `sample` is for one thread only.
class RateMeter {
public:
    // The moment the first sample measures from (steady-clock ms).
    void start(std::int64_t steadyMs) { lastSampleMs_.store(steadyMs, std::memory_order_relaxed); }
    std::int32_t sample(std::uint64_t totalBytes, std::int64_t steadyMs);

private:
    std::uint64_t bytesAtLastSample_ = 0; // sampling thread only
    std::atomic<std::int64_t> lastSampleMs_{0};
};

// The last 20 bitrate samples of the input or of one caller. Thread safe; its mutex is always
// the innermost lock.
class BitrateHistory {
public:
    static constexpr int kSlots = 20;

    void add(BitrateSample sample) EXCLUDES(mutex_);
    // Readers see no sample afterwards; the next add goes to slot 1.
    void reset() EXCLUDES(mutex_);
    // The samples as a compact JSON array, newest first: [{"x":"...","y":N},...]
    std::string toJson() const EXCLUDES(mutex_);
    // The samples, newest first, for a caller that formats them after releasing its locks.
    std::vector<BitrateSample> samples() const EXCLUDES(mutex_);
    // `samples` (newest first) as toJson writes them.
    static std::string formatJson(const std::vector<BitrateSample>& samples);
    // The newest sample's rate, 0 when there is none.
    std::int32_t latestKbps() const EXCLUDES(mutex_);

private:
    // guards slots_, writeIndex_ and count_
    mutable Mutex mutex_;
    std::array<BitrateSample, kSlots> slots_ GUARDED_BY(mutex_){};
    std::int32_t writeIndex_ GUARDED_BY(mutex_) = -1;
    std::int32_t count_ GUARDED_BY(mutex_) = 0; // added since construction or reset; not capped
};

} // namespace vandra
