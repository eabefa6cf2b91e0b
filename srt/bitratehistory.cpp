#include "srt/bitratehistory.h"

#include <algorithm>

#include "app/utils.h"

namespace vandra {

void BitrateHistory::add(BitrateSample sample) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeIndex_ = (writeIndex_ + 1) % kSlots;
    slots_[static_cast<size_t>(writeIndex_)] = std::move(sample);
    ++count_;
}

void BitrateHistory::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    writeIndex_ = 0;
    count_ = 0;
}

std::string BitrateHistory::toJson() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ <= 0) {
        return "[]";
    }
    std::string json = "[";
    const int visible = std::min(count_, kSlots);
    for (int i = 0; i < visible; ++i) {
        const BitrateSample& sample =
            slots_[static_cast<size_t>((writeIndex_ - i + kSlots) % kSlots)];
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
