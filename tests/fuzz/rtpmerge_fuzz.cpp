#include <cstddef>
#include <cstdint>
#include <set>
#include <span>

#include "fuzzcheck.h"
#include "ingest/rtpmerge.h"
#include "ingest/rtpsequencer.h"

// Two interleaved packet streams through the merge into one sequencer, as the receiver feeds
// them: whatever the numbers, SSRCs and arrival times, no number leaves twice within a stream
// and every delivery carries the payload of its number.
namespace vandra::fuzz {
namespace {

constexpr std::size_t kRecordSize = 4;
constexpr std::uint32_t kSsrcs[] = {0x1111, 0x1111, 0x1111, 0x2222};

class MergeModel {
public:
    explicit MergeModel(std::int64_t windowMs)
        : sequencer_([this](std::uint16_t sequence,
                            std::span<const std::uint8_t> bytes) { onDeliver(sequence, bytes); },
                     RtpMerge::sequencerWindow(windowMs)),
          merge_(windowMs) {}

    void arrive(int path, std::uint16_t sequence, std::uint32_t ssrc, std::int64_t nowMs) {
        const std::uint8_t payload[2] = {static_cast<std::uint8_t>(sequence >> 8),
                                         static_cast<std::uint8_t>(sequence)};
        const bool wasMismatched = merge_.mismatched();
        if (merge_.admit(path, sequence, ssrc, nowMs)) {
            require(sequencer_.push(sequence, ssrc, payload, nowMs), "refused a payload");
        }
        require(!wasMismatched || merge_.mismatched(), "a mismatch was taken back");
        tick(nowMs);
    }

    void tick(std::int64_t nowMs) {
        sequencer_.tick(nowMs);
        merge_.tick(nowMs);
        for (int path = 0; path < RtpMerge::kPaths; ++path) {
            require(merge_.pathLost(path) >= lost_[path], "a path's loss went down");
            lost_[path] = merge_.pathLost(path);
        }
        require(sequencer_.waiting() <= sequencer_.window().packets, "more waiting than fits");
    }

private:
    void onDeliver(std::uint16_t sequence, std::span<const std::uint8_t> bytes) {
        require(bytes.size() == 2 && (bytes[0] << 8 | bytes[1]) == sequence,
                "a payload left under another number");
        const std::uint64_t stream = sequencer_.counters().restarts;
        if (stream != stream_) {
            stream_ = stream;
            delivered_.clear();
        }
        require(delivered_.insert(sequence).second, "a number delivered twice in one stream");
    }

    RtpSequencer sequencer_;
    RtpMerge merge_;
    std::set<std::uint16_t> delivered_;
    std::uint64_t stream_ = 0;
    std::uint64_t lost_[RtpMerge::kPaths] = {};
};

} // namespace

// Two bytes of window, then records: flags (bit 0 path, bits 1-2 SSRC, bit 3 an absolute
// number, bit 4 time runs back), a step or number, a second number byte, a time step.
void checkInput(const std::uint8_t* data, size_t size) {
    if (size < 2) {
        return;
    }
    MergeModel model(1 + (data[0] << 8 | data[1]) % 1000);
    std::uint16_t last[RtpMerge::kPaths] = {};
    std::int64_t nowMs = 0;
    for (size_t at = 2; at + kRecordSize <= size; at += kRecordSize) {
        const std::uint8_t flags = data[at];
        const int path = flags & 1;
        const std::uint32_t ssrc = kSsrcs[(flags >> 1) & 3];
        const bool absolute = (flags & 0x08) != 0;
        const auto sequence =
            absolute
                ? static_cast<std::uint16_t>(data[at + 1] << 8 | data[at + 2])
                : static_cast<std::uint16_t>(last[path] + static_cast<std::int8_t>(data[at + 1]));
        last[path] = sequence;
        nowMs += (flags & 0x10) != 0 ? -data[at + 3] : data[at + 3];
        model.arrive(path, sequence, ssrc, nowMs);
    }
    model.tick(nowMs + 2000);
}

} // namespace vandra::fuzz
