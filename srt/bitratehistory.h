#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

namespace vandra {

struct BitrateSample {
    std::string time;      // local time of the sampling pass, "%Y-%m-%d %H:%M:%S"
    std::int32_t kbps = 0; // 1 kbit = 1024 bits
};

// The last 20 bitrate samples of the input or of one caller. Thread safe; its mutex is always
// the innermost lock.
class BitrateHistory {
public:
    static constexpr int kSlots = 20;

    void add(BitrateSample sample);
    // Readers see no sample afterwards; the next add goes to slot 1.
    void reset();
    // The samples as a compact JSON array, newest first: [{"x":"...","y":N},...]
    std::string toJson() const;

private:
    // guards slots_, writeIndex_ and count_
    mutable std::mutex mutex_;
    std::array<BitrateSample, kSlots> slots_{};
    std::int32_t writeIndex_ = -1;
    std::int32_t count_ = 0; // added since construction or reset; not capped
};

} // namespace vandra
