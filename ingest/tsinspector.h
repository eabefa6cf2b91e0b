#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "ingest/tspacket.h"

namespace vandra {

// Transport-stream health of the input, cheap enough for every received chunk: the sync byte
// of each packet and the continuity counter of each PID. It counts and remembers which PIDs
// were hit; the receiver decides when to log. Receiver thread only, except syncErrors() and
// continuityErrors(), which any thread may read.
//
// Continuity follows ISO/IEC 13818-1: the null PID is ignored; a packet without payload
// neither advances nor is checked; one duplicate (the same counter as the previous payload
// packet of the PID) is allowed, each further repeat is an error; a discontinuity indicator
// makes the packet the new reference; the first packet of a PID sets the reference; a packet
// with a bad sync byte is counted as such and not read further. After an error the packet's
// own counter becomes the reference, so one jump counts once. Duplicates are recognised by
// their counter alone: comparing their bytes would need a copy of every PID's last packet.
class TsInspector {
public:
    static constexpr std::int32_t kReportedPids = 8;

    // The errors since the previous takeReport().
    struct Report {
        std::uint64_t syncErrors = 0;
        std::uint64_t continuityErrors = 0;
        // PIDs with continuity errors in the order they were first hit; pidCount are valid.
        std::array<std::uint16_t, kReportedPids> pids{};
        std::int32_t pidCount = 0;
        std::int32_t morePids = 0; // PIDs hit besides the listed ones

        bool empty() const { return syncErrors == 0 && continuityErrors == 0; }
        // The PIDs in decimal, e.g. "256, 481 and 3 more"; empty when there are none.
        std::string pidsText() const;
    };

    // One received chunk of kChunkSize bytes.
    void inspectChunk(const std::uint8_t* chunk);
    // One packet of kTsPacketSize bytes.
    void inspectPacket(const std::uint8_t* packet);

    // Since construction; any thread.
    std::uint64_t syncErrors() const { return syncTotal_.load(std::memory_order_relaxed); }
    std::uint64_t continuityErrors() const {
        return continuityTotal_.load(std::memory_order_relaxed);
    }

    bool hasUnreported() const { return !pending_.empty(); }
    // Hands over the errors since the previous call and starts a new period.
    Report takeReport();
    // Forgets every PID's reference, so that the next packet of each PID sets it again: for a
    // stream known to start over, e.g. after the input stalled.
    void forgetCounters();

private:
    // Per PID: bit 7 the reference is set, bit 6 its duplicate was seen, bits 0-3 the counter.
    static constexpr std::uint8_t kKnown = 0x80;
    static constexpr std::uint8_t kDuplicateSeen = 0x40;

    void checkPacket(const std::uint8_t* packet, std::uint64_t& sync, std::uint64_t& continuity);
    void notePid(std::uint16_t pid);
    void publish(std::uint64_t sync, std::uint64_t continuity);

    std::array<std::uint8_t, ts::kPidCount> pidState_{};
    std::array<std::uint64_t, ts::kPidCount / 64> pidReported_{}; // in the current period
    Report pending_;
    std::atomic<std::uint64_t> syncTotal_{0};
    std::atomic<std::uint64_t> continuityTotal_{0};
};

} // namespace vandra
