#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/chunk.h"
#include "core/ratelimiter.h"
#include "ingest/sectionassembler.h"
#include "ingest/tspacket.h"

namespace vandra {

// Cuts one programme out of a multi-programme transport stream: a PAT rewritten to list that
// programme alone (same transport_stream_id and version as the input's, its own CRC_32 and
// continuity counter), sent where the input's PAT came; the packets of its PMT PID and of every
// PID that PMT names (elementary streams, PCR) unchanged and in order; nothing else. A new PMT
// is followed from the packet after it. Output leaves in messages of seven packets; a message
// whose first packet has waited kMaxWaitMs is completed with null packets (the only bytes that
// were not in the input). A programme that leaves the PAT passes nothing until it is back.
// Not thread safe: its owner serialises every call (the receiver, under the registry's lock).
class ProgramFilter {
public:
    static constexpr std::int64_t kMaxWaitMs = 10;
    static constexpr std::uint16_t kNoPid = 0xFFFF;

    // A whole message of kChunkSize bytes.
    using Output = std::function<void(const std::uint8_t* message)>;

    enum class Presence : std::uint8_t {
        Unknown, // no PAT seen yet
        Listed,
        Gone, // the PAT no longer lists it
    };
    struct Stream {
        std::uint16_t pid;
        std::uint8_t type; // stream_type
    };

    ProgramFilter(std::uint16_t programNumber, Output output);
    ProgramFilter(const ProgramFilter&) = delete;
    ProgramFilter& operator=(const ProgramFilter&) = delete;

    // One chunk of kChunkSize bytes, taken at `nowMs` (steady clock); then as tick().
    void feedChunk(const std::uint8_t* chunk, std::int64_t nowMs);
    void feedPacket(const std::uint8_t* packet, std::int64_t nowMs);
    // Sends the message in progress, completed with null packets, once its first packet has
    // waited kMaxWaitMs.
    void tick(std::int64_t nowMs);

    std::uint16_t programNumber() const { return programNumber_; }
    Presence presence() const { return presence_; }
    // Since when the PAT no longer lists it; valid while presence() is Gone.
    std::int64_t goneSinceMs() const { return goneSinceMs_; }
    std::uint16_t pmtPid() const { return pmtPid_; }
    std::uint16_t pcrPid() const { return pcrPid_; }
    const std::vector<Stream>& streams() const { return streams_; }
    std::uint64_t packetsOut() const { return packetsOut_; } // null packets included
    std::uint64_t nullPacketsAdded() const { return nullsAdded_; }

private:
    void onPatSection(const SectionAssembler::Section& section);
    void onPmtSection(const SectionAssembler::Section& section);
    void markGone();
    void forgetPmt();
    void queueRewrittenPat(const SectionAssembler::Section& section, std::uint16_t pmtPid);
    void queue(const std::uint8_t* packet);
    void sendMessage();

    const std::uint16_t programNumber_;
    Output output_;
    SectionAssembler pat_;
    SectionAssembler pmt_;
    Presence presence_ = Presence::Unknown;
    std::int32_t listedInSection_ = 0; // section_number of the PAT section that lists it
    std::int64_t goneSinceMs_ = 0;
    std::int64_t nowMs_ = 0; // of the packet being taken
    std::uint16_t pmtPid_ = kNoPid;
    std::uint16_t pcrPid_ = kNoPid;
    std::vector<Stream> streams_;
    std::vector<std::uint8_t> pmtSeen_;  // the section in use, to tell a change from a repeat
    std::bitset<ts::kPidCount> passing_; // the PMT PID and every PID the PMT names
    std::uint8_t patCounter_ = 0;
    std::array<std::uint8_t, kChunkSize> message_{};
    std::int32_t queued_ = 0; // packets in message_
    std::int64_t firstQueuedMs_ = 0;
    std::uint64_t packetsOut_ = 0;
    std::uint64_t nullsAdded_ = 0;
    // a flapping input must not flood the log
    RateLimiter changeLog_{5000};
    RateLimiter pmtLog_{5000};
};

} // namespace vandra
