#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "core/ratelimiter.h"
#include "ingest/rtpmerge.h"
#include "ingest/rtppacket.h"
#include "ingest/rtpsequencer.h"

namespace vandra {

// The receiver's RTP side: reads the headers of each RTP datagram, puts the payloads back in
// sequence order and hands them on as transport-stream bytes. What it saw is counted for other
// threads; malformed datagrams are dropped with a rate-limited line naming the reason. RTCP
// that shares the data port is counted and otherwise ignored.
class RtpInput {
public:
    // Snapshot of the counters; see RtpSequencer for what lost, duplicates, reordered, late
    // and restarts mean.
    struct Counters {
        std::uint64_t malformed = 0;
        std::uint64_t rtcp = 0;
        std::uint64_t delivered = 0;
        std::uint64_t lost = 0;
        std::uint64_t duplicates = 0;
        std::uint64_t reordered = 0;
        std::uint64_t late = 0;
        std::uint64_t restarts = 0;
        std::array<std::uint64_t, RtpMerge::kPaths> pathLost{}; // merging only; see RtpMerge
    };

    // `deliver` gets every payload in sequence order, on the receiver thread.
    explicit RtpInput(RtpSequencer::Deliver deliver) : sequencer_(std::move(deliver)) {}

    // Receiver thread: one datagram whose first byte says RTP version 2, received at `nowMs`
    // (steady clock). True when it was a packet of the stream (a duplicate too), false when it
    // was RTCP or malformed.
    bool take(std::span<const std::uint8_t> datagram, std::int64_t nowMs);
    // Before the first datagram: two paths will feed the sequencer through takeFrom, a gap
    // waiting `windowMs` for the other path.
    void enableMerge(std::int64_t windowMs);
    // Receiver thread, merging: as take, for a datagram that came on `path`.
    bool takeFrom(int path, std::span<const std::uint8_t> datagram, std::int64_t nowMs);
    // Receiver thread: true once the two paths proved to carry different streams, with why.
    bool mergeMismatched() const { return merge_ && merge_->mismatched(); }
    std::string mismatchReason() const { return merge_ ? merge_->mismatchReason() : ""; }
    // Receiver thread: releases payloads that waited out the reorder window; call it on every
    // wake of the receiver.
    void tick(std::int64_t nowMs);

    // Any thread.
    Counters counters() const;

private:
    const RtpPacket* parse(std::span<const std::uint8_t> datagram, std::int64_t nowMs);
    void feedSequencer(const RtpPacket& packet, std::int64_t nowMs);
    void reportMalformed(RtpPacket::Error error, std::size_t length, std::int64_t nowMs);
    void reportRtcp();
    void reportRestart(const RtpPacket& packet, std::int64_t nowMs);
    void publishSequencerCounters();

    RtpSequencer sequencer_;
    std::unique_ptr<RtpMerge> merge_; // two paths only
    RtpPacket packet_;
    bool anyTaken_ = false;
    std::uint64_t restartsSeen_ = 0;
    RateLimiter malformedLog_{5000};
    RateLimiter restartLog_{5000};
    bool rtcpReported_ = false;
    // written by the receiver thread only, read by any
    std::atomic<std::uint64_t> malformed_{0};
    std::atomic<std::uint64_t> rtcp_{0};
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::atomic<std::uint64_t> duplicates_{0};
    std::atomic<std::uint64_t> reordered_{0};
    std::atomic<std::uint64_t> late_{0};
    std::atomic<std::uint64_t> restarts_{0};
    std::array<std::atomic<std::uint64_t>, RtpMerge::kPaths> pathLost_{};
};

} // namespace vandra
