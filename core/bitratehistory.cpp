#include "core/bitratehistory.h"

#include <algorithm>
#include <cstdint>

#include "core/utils.h"

namespace vandra {

std::int32_t kbpsOver(std::uint64_t deltaBytes, std::uint32_t elapsedMs) {
    const std::uint32_t seconds = elapsedMs / 1000;
    if (seconds == 0) {
        return 0;
    }
    const double value =
        static_cast<double>(deltaBytes) * 8.0 / (static_cast<double>(seconds) * 1024.0);
    // Out-of-range conversion would be undefined; such a rate is not a real one anyway.
    return value >= 2147483647.0 ? INT32_MAX : static_cast<std::int32_t>(value);
}

std::int32_t RateMeter::sample(std::uint64_t totalBytes, std::int64_t steadyMs) {
    const auto elapsed = static_cast<std::uint32_t>(
        steadyMs - lastSampleMs_.exchange(steadyMs, std::memory_order_relaxed));
    const std::uint64_t delta = totalBytes - bytesAtLastSample_;
    bytesAtLastSample_ = totalBytes;
    return kbpsOver(delta, elapsed);
}

void BitrateHistory::add(BitrateSample sample) {
    MutexLock lock(mutex_);
    writeIndex_ = (writeIndex_ + 1) % kSlots;
    slots_[static_cast<size_t>(writeIndex_)] = std::move(sample);
    ++count_;
}

void BitrateHistory::reset() {
    MutexLock lock(mutex_);
    writeIndex_ = 0;
    count_ = 0;
}

std::int32_t BitrateHistory::latestKbps() const {
    MutexLock lock(mutex_);
    return count_ > 0 ? slots_[static_cast<size_t>(writeIndex_)].kbps : 0;
}

std::string BitrateHistory::toJson() const {
    return formatJson(samples());
}

std::vector<BitrateSample> BitrateHistory::samples() const {
    MutexLock lock(mutex_);
    std::vector<BitrateSample> newestFirst;
    const int visible = std::clamp(count_, 0, kSlots);
    newestFirst.reserve(static_cast<size_t>(visible));
    for (int i = 0; i < visible; ++i) {
        newestFirst.push_back(slots_[static_cast<size_t>((writeIndex_ - i + kSlots) % kSlots)]);
    }
    return newestFirst;
}

std::string BitrateHistory::formatJson(const std::vector<BitrateSample>& samples) {
    std::string json = "[";
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const BitrateSample& sample = samples[i];
        if (i > 0) {
            json += ',';
        }
        json += "{\"x\":\"";
        json += jsonEscape(sample.time);
        json += "\",\"y\":";
        json += std::to_string(static_cast<std::uint32_t>(sample.kbps));
        json += '}';
    }
    json += ']';
    return json;
}

} // namespace vandra
