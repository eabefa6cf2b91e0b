#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string>

#include "ingest/rtpsequencer.h"

namespace vandra {

// Decides, for two paths carrying the same RTP stream into one sequencer, which packets the
// sequencer may take, and counts what each path on its own failed to bring. The sequencer does
// the merging itself: whichever path brings a number first delivers it, the later copy is a
// duplicate.
//
// A path's loss is a number it skipped (it brought a later one) and did not bring within the
// window, whether or not the other path covered it. A path that falls silent counts its gap
// once it delivers again.
//
// The two paths must carry one stream. A packet is taken when it agrees with the other path's
// latest packet or with the merged stream (same SSRC, number within kNearPackets), or when the
// other path has been silent for the window (or kDeliveringMs); so a restart of the stream
// that reaches one path first waits for the other instead of tearing the merged stream apart.
// When both paths deliver (each within kDeliveringMs) but disagree for kMismatchMs, or agree
// yet never bring a number the other one brought for kMismatchMs, they carry different
// streams: mismatched() turns true, for good.
//
// Fed with times only; one thread at a time.
class RtpMerge {
public:
    static constexpr int kPaths = 2;
    static constexpr std::int64_t kMismatchMs = 1000;
    static constexpr std::int32_t kNearPackets = 2048;
    // A path that brought nothing for this long is not compared with the other one.
    static constexpr std::int64_t kDeliveringMs = 200;

    // The sequencer settings two skewed paths need, `windowMs` being how long a gap waits.
    static RtpSequencer::Window sequencerWindow(std::int64_t windowMs);

    explicit RtpMerge(std::int64_t windowMs);

    // A packet arrived on `path`; true when the sequencer should take it.
    bool admit(int path, std::uint16_t sequence, std::uint32_t ssrc, std::int64_t nowMs);
    // Settles the per-path gaps that waited out the window.
    void tick(std::int64_t nowMs);

    std::uint64_t pathLost(int path) const { return paths_[path].lost; }
    bool mismatched() const { return mismatched_; }
    // Why the paths were found to carry different streams; empty until then.
    const std::string& mismatchReason() const { return mismatchReason_; }

private:
    static constexpr std::int32_t kTracked = RtpSequencer::kMaxTracked;
    static constexpr std::size_t kMostGaps = 256;

    // Numbers a path skipped, [first, first + count), noticed at `sinceMs`.
    struct Gap {
        std::uint16_t first = 0;
        std::int32_t count = 0;
        std::int64_t sinceMs = 0;
    };
    struct Path {
        bool started = false;
        std::uint32_t ssrc = 0;
        std::uint16_t highest = 0;
        std::int64_t lastMs = 0;
        // Bit n % kTracked: number n, among the kTracked up to `highest`, was brought.
        std::bitset<kTracked> brought;
        std::array<Gap, kMostGaps> gaps{}; // a ring, oldest first
        std::size_t firstGap = 0;
        std::size_t gapCount = 0;
        std::uint64_t lost = 0;
    };

    static std::int32_t distance(std::uint16_t from, std::uint16_t to) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(to - from));
    }
    static bool near(std::uint32_t ssrcA, std::uint16_t sequenceA, std::uint32_t ssrcB,
                     std::uint16_t sequenceB);
    static bool brought(const Path& path, std::uint16_t sequence);

    void track(Path& path, std::uint16_t sequence, std::uint32_t ssrc, std::int64_t nowMs);
    void restartPath(Path& path, std::uint16_t sequence, std::uint32_t ssrc);
    void advance(Path& path, std::uint16_t sequence, std::int64_t nowMs);
    void addGap(Path& path, const Gap& gap);
    void settleOldestGap(Path& path);
    bool live(const Path& path, std::int64_t nowMs) const;
    static bool delivering(const Path& path, std::int64_t nowMs);
    void watchAgreement(const Path& path, const Path& other, std::int64_t nowMs);
    void mismatch(const std::string& reason);

    std::int64_t windowMs_;
    std::array<Path, kPaths> paths_{};
    bool mergedStarted_ = false;
    std::uint32_t mergedSsrc_ = 0;
    std::uint16_t mergedHighest_ = 0;
    bool bothLive_ = false;
    std::int64_t bothLiveSinceMs_ = 0;
    std::int64_t lastMatchMs_ = 0;
    bool disagreeing_ = false;
    std::int64_t disagreeingSinceMs_ = 0;
    bool mismatched_ = false;
    std::string mismatchReason_;
};

} // namespace vandra
