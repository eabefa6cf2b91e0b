#include "ingest/rtpmerge.h"

#include <algorithm>
#include <cstdlib>

namespace vandra {

namespace {
// Slots for what the leading path brings while the other one fills a gap: at 20 Mbit/s (about
// 1900 packets a second) that is a lead of a second.
constexpr std::int32_t kMergeSlots = 2048;
constexpr std::int32_t kMergeMisorder = 3072;
} // namespace

RtpSequencer::Window RtpMerge::sequencerWindow(std::int64_t windowMs) {
    return {kMergeSlots, windowMs, kMergeMisorder};
}

RtpMerge::RtpMerge(std::int64_t windowMs) : windowMs_(windowMs) {}

bool RtpMerge::admit(int path, std::uint16_t sequence, std::uint32_t ssrc, std::int64_t nowMs) {
    if (path < 0 || path >= kPaths) {
        return false;
    }
    Path& own = paths_[path];
    const Path& other = paths_[1 - path];
    track(own, sequence, ssrc, nowMs);
    if (brought(other, sequence) && other.ssrc == ssrc) {
        lastMatchMs_ = nowMs;
    }
    watchAgreement(own, other, nowMs);
    const bool agreesWithMerged =
        mergedStarted_ && near(ssrc, sequence, mergedSsrc_, mergedHighest_);
    if (live(other, nowMs) && !agreesWithMerged &&
        !near(ssrc, sequence, other.ssrc, other.highest)) {
        return false;
    }
    if (!agreesWithMerged || distance(mergedHighest_, sequence) > 0) {
        mergedHighest_ = sequence;
    }
    mergedStarted_ = true;
    mergedSsrc_ = ssrc;
    return true;
}

void RtpMerge::tick(std::int64_t nowMs) {
    for (Path& path : paths_) {
        while (path.gapCount > 0 && nowMs - path.gaps[path.firstGap].sinceMs >= windowMs_) {
            settleOldestGap(path);
        }
    }
}

bool RtpMerge::near(std::uint32_t ssrcA, std::uint16_t sequenceA, std::uint32_t ssrcB,
                    std::uint16_t sequenceB) {
    return ssrcA == ssrcB && std::abs(distance(sequenceA, sequenceB)) < kNearPackets;
}

bool RtpMerge::brought(const Path& path, std::uint16_t sequence) {
    const std::int32_t behind = distance(sequence, path.highest);
    return path.started && behind >= 0 && behind < kTracked && path.brought[sequence % kTracked];
}

void RtpMerge::track(Path& path, std::uint16_t sequence, std::uint32_t ssrc, std::int64_t nowMs) {
    path.lastMs = nowMs;
    const std::int32_t ahead = distance(path.highest, sequence);
    if (!path.started || ssrc != path.ssrc || ahead > RtpSequencer::kMaxDropout ||
        ahead <= -kTracked) {
        restartPath(path, sequence, ssrc);
    } else if (ahead > 0) {
        advance(path, sequence, nowMs);
    } else {
        path.brought[sequence % kTracked] = true; // a late fill, or a duplicate
    }
}

// A new stream on this path: what it still owed of the old one is lost, the jump is not.
void RtpMerge::restartPath(Path& path, std::uint16_t sequence, std::uint32_t ssrc) {
    while (path.gapCount > 0) {
        settleOldestGap(path);
    }
    path.brought.reset();
    path.brought[sequence % kTracked] = true;
    path.started = true;
    path.ssrc = ssrc;
    path.highest = sequence;
}

void RtpMerge::advance(Path& path, std::uint16_t sequence, std::int64_t nowMs) {
    // Gaps whose bits are about to be reused are settled with what they know now.
    while (path.gapCount > 0 && distance(path.gaps[path.firstGap].first, sequence) >= kTracked) {
        settleOldestGap(path);
    }
    const auto firstSkipped = static_cast<std::uint16_t>(path.highest + 1);
    for (std::uint16_t number = firstSkipped; number != sequence; ++number) {
        path.brought[number % kTracked] = false;
    }
    path.brought[sequence % kTracked] = true;
    if (sequence != firstSkipped) {
        addGap(path, {firstSkipped, distance(firstSkipped, sequence), nowMs});
    }
    path.highest = sequence;
}

void RtpMerge::addGap(Path& path, const Gap& gap) {
    if (path.gapCount == kMostGaps) {
        settleOldestGap(path);
    }
    path.gaps[(path.firstGap + path.gapCount) % kMostGaps] = gap;
    ++path.gapCount;
}

void RtpMerge::settleOldestGap(Path& path) {
    const Gap& gap = path.gaps[path.firstGap];
    for (std::int32_t index = 0; index < gap.count; ++index) {
        if (!path.brought[static_cast<std::uint16_t>(gap.first + index) % kTracked]) {
            ++path.lost;
        }
    }
    path.firstGap = (path.firstGap + 1) % kMostGaps;
    --path.gapCount;
}

// A path may still bring what the other one leads with while its latest packet is younger than
// the window (a lagging path is at most that far behind).
bool RtpMerge::live(const Path& path, std::int64_t nowMs) const {
    return path.started && nowMs - path.lastMs <= std::max(windowMs_, kDeliveringMs);
}

// Only paths that both deliver now can be compared: a silent one matches nothing.
bool RtpMerge::delivering(const Path& path, std::int64_t nowMs) {
    return path.started && nowMs - path.lastMs <= kDeliveringMs;
}

void RtpMerge::watchAgreement(const Path& path, const Path& other, std::int64_t nowMs) {
    if (mismatched_ || !delivering(other, nowMs)) {
        bothLive_ = false;
        disagreeing_ = false;
        return;
    }
    if (!bothLive_) {
        bothLive_ = true;
        bothLiveSinceMs_ = nowMs;
    }
    if (!near(path.ssrc, path.highest, other.ssrc, other.highest)) {
        if (!disagreeing_) {
            disagreeing_ = true;
            disagreeingSinceMs_ = nowMs;
        } else if (nowMs - disagreeingSinceMs_ >= kMismatchMs) {
            const Path& first = paths_[0];
            const Path& second = paths_[1];
            mismatch(first.ssrc != second.ssrc
                         ? "SSRC " + std::to_string(first.ssrc) + " on input 1, " +
                               std::to_string(second.ssrc) + " on input 2"
                         : "sequence numbers " +
                               std::to_string(std::abs(distance(first.highest, second.highest))) +
                               " apart");
        }
        return;
    }
    disagreeing_ = false;
    if (nowMs - std::max(lastMatchMs_, bothLiveSinceMs_) >= kMismatchMs) {
        mismatch("no sequence number came on both inputs for " +
                 std::to_string(nowMs - std::max(lastMatchMs_, bothLiveSinceMs_)) + " ms");
    }
}

void RtpMerge::mismatch(const std::string& reason) {
    mismatched_ = true;
    mismatchReason_ = reason;
}

} // namespace vandra
