#include "ingest/rtpinput.h"

#include "core/logger.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "rtpinput";

void store(std::atomic<std::uint64_t>& counter, std::uint64_t value) {
    counter.store(value, std::memory_order_relaxed);
}
std::uint64_t load(const std::atomic<std::uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
}
} // namespace

bool RtpInput::take(std::span<const std::uint8_t> datagram, std::int64_t nowMs) {
    const RtpPacket* packet = parse(datagram, nowMs);
    if (packet != nullptr) {
        feedSequencer(*packet, nowMs);
    }
    return packet != nullptr;
}

void RtpInput::enableMerge(std::int64_t windowMs) {
    sequencer_.setWindow(RtpMerge::sequencerWindow(windowMs));
    merge_ = std::make_unique<RtpMerge>(windowMs);
}

bool RtpInput::takeFrom(int path, std::span<const std::uint8_t> datagram, std::int64_t nowMs) {
    const RtpPacket* packet = parse(datagram, nowMs);
    if (packet == nullptr) {
        return false;
    }
    if (!merge_ || merge_->admit(path, packet->sequence(), packet->ssrc(), nowMs)) {
        feedSequencer(*packet, nowMs);
    }
    return true;
}

const RtpPacket* RtpInput::parse(std::span<const std::uint8_t> datagram, std::int64_t nowMs) {
    if (RtpPacket::isRtcp(datagram)) {
        store(rtcp_, load(rtcp_) + 1);
        reportRtcp();
        return nullptr;
    }
    const RtpPacket::Error error = packet_.parse(datagram);
    if (error != RtpPacket::Error::None) {
        reportMalformed(error, datagram.size(), nowMs);
        return nullptr;
    }
    return &packet_;
}

void RtpInput::feedSequencer(const RtpPacket& packet, std::int64_t nowMs) {
    sequencer_.push(packet.sequence(), packet.ssrc(), packet.payload(), nowMs);
    reportRestart(packet, nowMs);
    publishSequencerCounters();
}

void RtpInput::tick(std::int64_t nowMs) {
    if (sequencer_.waiting() > 0) {
        sequencer_.tick(nowMs);
        publishSequencerCounters();
    }
    if (merge_) {
        merge_->tick(nowMs);
        for (int path = 0; path < RtpMerge::kPaths; ++path) {
            store(pathLost_[path], merge_->pathLost(path));
        }
    }
}

RtpInput::Counters RtpInput::counters() const {
    Counters out;
    out.malformed = load(malformed_);
    out.rtcp = load(rtcp_);
    out.delivered = load(delivered_);
    out.lost = load(lost_);
    out.duplicates = load(duplicates_);
    out.reordered = load(reordered_);
    out.late = load(late_);
    out.restarts = load(restarts_);
    for (int path = 0; path < RtpMerge::kPaths; ++path) {
        out.pathLost[path] = load(pathLost_[path]);
    }
    return out;
}

void RtpInput::reportMalformed(RtpPacket::Error error, std::size_t length, std::int64_t nowMs) {
    const std::uint64_t dropped = load(malformed_) + 1;
    store(malformed_, dropped);
    if (malformedLog_.allow(nowMs)) {
        LOG_LINE << "-- dropped RTP datagram of " << length << " bytes ("
                 << RtpPacket::errorText(error) << "), dropped so far: " << dropped;
    }
}

void RtpInput::reportRtcp() {
    if (!rtcpReported_) {
        rtcpReported_ = true;
        LOG_LINE << "-- RTCP on the data port: counted and ignored";
    }
}

// The first packet, and every new stream the sequencer recognised (new SSRC, or a jump).
void RtpInput::reportRestart(const RtpPacket& packet, std::int64_t nowMs) {
    const std::uint64_t restarts = sequencer_.counters().restarts;
    const bool first = !anyTaken_;
    anyTaken_ = true;
    if (!first && restarts == restartsSeen_) {
        return;
    }
    restartsSeen_ = restarts;
    if (first || restartLog_.allow(nowMs)) {
        LOG_LINE << "-- RTP stream: ssrc " << packet.ssrc() << ", payload type "
                 << static_cast<int>(packet.payloadType()) << ", from sequence "
                 << packet.sequence() << ", restarts so far: " << restarts;
    }
}

void RtpInput::publishSequencerCounters() {
    const RtpSequencer::Counters& counters = sequencer_.counters();
    store(delivered_, counters.delivered);
    store(lost_, counters.lost);
    store(duplicates_, counters.duplicates);
    store(reordered_, counters.reordered);
    store(late_, counters.late);
    store(restarts_, counters.restarts);
}

} // namespace vandra
