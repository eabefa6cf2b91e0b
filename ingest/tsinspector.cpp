#include "ingest/tsinspector.h"

namespace vandra {

void TsInspector::inspectChunk(const std::uint8_t* chunk) {
    std::uint64_t sync = 0;
    std::uint64_t continuity = 0;
    for (std::int32_t at = 0; at < kChunkSize; at += kTsPacketSize) {
        checkPacket(chunk + at, sync, continuity);
    }
    if (sync + continuity > 0) {
        publish(sync, continuity);
    }
}

void TsInspector::inspectPacket(const std::uint8_t* packet) {
    std::uint64_t sync = 0;
    std::uint64_t continuity = 0;
    checkPacket(packet, sync, continuity);
    if (sync + continuity > 0) {
        publish(sync, continuity);
    }
}

void TsInspector::checkPacket(const std::uint8_t* packet, std::uint64_t& sync,
                              std::uint64_t& continuity) {
    if (!ts::hasSync(packet)) {
        ++sync;
        return;
    }
    const std::uint16_t pid = ts::pid(packet);
    if (pid == ts::kNullPid) {
        return;
    }
    std::uint8_t& state = pidState_[pid];
    const std::uint8_t counter = ts::continuityCounter(packet);
    const bool payload = ts::hasPayloadFlag(packet);
    if (ts::discontinuityIndicator(packet)) {
        // Without a payload there is no new counter yet: the next payload packet sets it.
        state = payload ? static_cast<std::uint8_t>(kKnown | counter) : 0;
        return;
    }
    if (!payload) {
        return;
    }
    if ((state & kKnown) == 0) {
        state = kKnown | counter;
        return;
    }
    const std::uint8_t last = state & 0x0F;
    if (counter == ((last + 1) & 0x0F)) {
        state = kKnown | counter;
        return;
    }
    const bool repeat = counter == last;
    if (repeat && (state & kDuplicateSeen) == 0) {
        state |= kDuplicateSeen;
        return;
    }
    // A stuck counter keeps its duplicate mark, so that every further repeat counts.
    state = static_cast<std::uint8_t>(kKnown | counter | (repeat ? kDuplicateSeen : 0));
    ++continuity;
    notePid(pid);
}

void TsInspector::notePid(std::uint16_t pid) {
    std::uint64_t& word = pidReported_[pid / 64];
    const std::uint64_t bit = std::uint64_t{1} << (pid % 64);
    if ((word & bit) != 0) {
        return;
    }
    word |= bit;
    if (pending_.pidCount < kReportedPids) {
        pending_.pids[static_cast<std::size_t>(pending_.pidCount++)] = pid;
    } else {
        ++pending_.morePids;
    }
}

void TsInspector::publish(std::uint64_t sync, std::uint64_t continuity) {
    // One writer: a load and a store need no read-modify-write.
    syncTotal_.store(syncTotal_.load(std::memory_order_relaxed) + sync, std::memory_order_relaxed);
    continuityTotal_.store(continuityTotal_.load(std::memory_order_relaxed) + continuity,
                           std::memory_order_relaxed);
    pending_.syncErrors += sync;
    pending_.continuityErrors += continuity;
}

TsInspector::Report TsInspector::takeReport() {
    const Report report = pending_;
    pending_ = Report{};
    pidReported_.fill(0);
    return report;
}

void TsInspector::forgetCounters() {
    pidState_.fill(0);
}

std::string TsInspector::Report::pidsText() const {
    std::string text;
    for (std::int32_t i = 0; i < pidCount; ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += std::to_string(pids[static_cast<std::size_t>(i)]);
    }
    if (morePids > 0) {
        text += " and " + std::to_string(morePids) + " more";
    }
    return text;
}

} // namespace vandra
