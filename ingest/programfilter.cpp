#include "ingest/programfilter.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/logger.h"
#include "ingest/psi.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "programfilter";
constexpr std::int32_t kPatSectionSize = psi::kLongHeaderSize + 4 + psi::kCrcSize;

std::string pidList(std::uint16_t pcrPid, const std::vector<ProgramFilter::Stream>& streams) {
    std::string text = "PCR " + std::to_string(pcrPid);
    for (const ProgramFilter::Stream& stream : streams) {
        text += ", " + std::to_string(stream.pid) + " (type " + std::to_string(stream.type) + ")";
    }
    return text;
}
} // namespace

ProgramFilter::ProgramFilter(std::uint16_t programNumber, Output output)
    : programNumber_(programNumber), output_(std::move(output)),
      pat_([this](const SectionAssembler::Section& section) { onPatSection(section); }),
      pmt_([this](const SectionAssembler::Section& section) { onPmtSection(section); }) {}

void ProgramFilter::feedChunk(const std::uint8_t* chunk, std::int64_t nowMs) {
    for (std::int32_t at = 0; at < kChunkSize; at += kTsPacketSize) {
        feedPacket(chunk + at, nowMs);
    }
    tick(nowMs);
}

void ProgramFilter::feedPacket(const std::uint8_t* packet, std::int64_t nowMs) {
    if (!ts::hasSync(packet)) {
        return;
    }
    nowMs_ = nowMs;
    const std::uint16_t pid = ts::pid(packet);
    if (pid == ts::kPatPid) {
        pat_.feed(packet); // a rewritten PAT is queued in its place
        return;
    }
    if (!passing_.test(pid)) {
        return;
    }
    queue(packet);
    // After queueing: PIDs a new PMT adds pass from the next packet on.
    if (pid == pmtPid_) {
        pmt_.feed(packet);
    }
}

void ProgramFilter::tick(std::int64_t nowMs) {
    if (queued_ == 0 || nowMs - firstQueuedMs_ < kMaxWaitMs) {
        return;
    }
    for (; queued_ < kPacketsPerChunk; ++queued_) {
        ts::writeNullPacket(message_.data() + queued_ * kTsPacketSize);
        ++nullsAdded_;
    }
    sendMessage();
}

void ProgramFilter::onPatSection(const SectionAssembler::Section& section) {
    if (!psi::isCurrent(section, psi::kPatTableId)) {
        return;
    }
    std::uint16_t pmtPid = kNoPid;
    psi::forEachPatProgram(section, [&](std::uint16_t number, std::uint16_t pid) {
        if (number == programNumber_ && pmtPid == kNoPid && psi::isStreamPid(pid)) {
            pmtPid = pid;
        }
    });
    const std::int32_t number = psi::sectionNumber(section);
    if (pmtPid == kNoPid) {
        // Another section of a PAT split over several says nothing about this programme.
        if (presence_ == Presence::Unknown ||
            (presence_ == Presence::Listed && number == listedInSection_)) {
            markGone();
        }
        return;
    }
    if (presence_ != Presence::Listed && changeLog_.allow(nowMs_)) {
        LOG_LINE << "-- program " << programNumber_ << " in the PAT, PMT on PID " << pmtPid;
    }
    presence_ = Presence::Listed;
    listedInSection_ = number;
    if (pmtPid != pmtPid_) {
        forgetPmt();
        pmtPid_ = pmtPid;
        passing_.set(pmtPid);
    }
    queueRewrittenPat(section, pmtPid);
}

void ProgramFilter::markGone() {
    if (presence_ == Presence::Listed && changeLog_.allow(nowMs_)) {
        LOG_LINE << "-- program " << programNumber_ << " left the PAT: its viewers get nothing";
    }
    if (presence_ != Presence::Gone) {
        presence_ = Presence::Gone;
        goneSinceMs_ = nowMs_;
        forgetPmt();
    }
}

void ProgramFilter::forgetPmt() {
    passing_.reset();
    pmt_.reset();
    pmtSeen_.clear();
    streams_.clear();
    pmtPid_ = kNoPid;
    pcrPid_ = kNoPid;
}

void ProgramFilter::onPmtSection(const SectionAssembler::Section& section) {
    // One PID may carry the PMTs of several programmes.
    if (!psi::isCurrent(section, psi::kPmtTableId) ||
        psi::tableIdExtension(section) != programNumber_ ||
        (pmtSeen_.size() == static_cast<std::size_t>(section.size) &&
         std::memcmp(pmtSeen_.data(), section.bytes, pmtSeen_.size()) == 0)) {
        return;
    }
    pmtSeen_.assign(section.bytes, section.bytes + section.size);
    passing_.reset();
    passing_.set(pmtPid_);
    streams_.clear();
    pcrPid_ = psi::pmtPcrPid(section);
    if (psi::isStreamPid(pcrPid_)) {
        passing_.set(pcrPid_);
    }
    psi::forEachPmtStream(section, [this](std::uint8_t type, std::uint16_t pid) {
        const bool listed = std::any_of(streams_.begin(), streams_.end(),
                                        [pid](const Stream& stream) { return stream.pid == pid; });
        if (psi::isStreamPid(pid) && !listed) {
            passing_.set(pid);
            streams_.push_back({pid, type});
        }
    });
    if (pmtLog_.allow(nowMs_)) {
        LOG_LINE << "-- program " << programNumber_ << " PMT version "
                 << ((section.bytes[5] >> 1) & 0x1F) << ": " << pidList(pcrPid_, streams_);
    }
}

void ProgramFilter::queueRewrittenPat(const SectionAssembler::Section& section,
                                      std::uint16_t pmtPid) {
    std::array<std::uint8_t, kTsPacketSize> packet{};
    packet.fill(0xFF);
    packet[0] = ts::kSyncByte;
    packet[1] = 0x40; // payload_unit_start_indicator, PID 0
    packet[2] = 0x00;
    packet[3] = static_cast<std::uint8_t>(0x10 | patCounter_);
    patCounter_ = (patCounter_ + 1) & 0x0F;
    packet[4] = 0x00; // pointer_field
    std::uint8_t* out = packet.data() + 5;
    out[0] = psi::kPatTableId;
    out[1] = 0xB0; // section_syntax_indicator, '0', reserved, length high bits
    out[2] = kPatSectionSize - 3;
    out[3] = section.bytes[3]; // transport_stream_id as the input's
    out[4] = section.bytes[4];
    out[5] = section.bytes[5]; // version and current_next_indicator as the input's
    out[6] = 0;                // section_number
    out[7] = 0;                // last_section_number
    out[8] = static_cast<std::uint8_t>(programNumber_ >> 8);
    out[9] = static_cast<std::uint8_t>(programNumber_ & 0xFF);
    out[10] = static_cast<std::uint8_t>(0xE0 | pmtPid >> 8);
    out[11] = static_cast<std::uint8_t>(pmtPid & 0xFF);
    const std::uint32_t crc = psiCrc32(out, kPatSectionSize - psi::kCrcSize);
    for (std::int32_t i = 0; i < psi::kCrcSize; ++i) {
        out[kPatSectionSize - psi::kCrcSize + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
    queue(packet.data());
}

void ProgramFilter::queue(const std::uint8_t* packet) {
    if (queued_ == 0) {
        firstQueuedMs_ = nowMs_;
    }
    std::memcpy(message_.data() + queued_ * kTsPacketSize, packet, kTsPacketSize);
    if (++queued_ == kPacketsPerChunk) {
        sendMessage();
    }
}

void ProgramFilter::sendMessage() {
    packetsOut_ += static_cast<std::uint64_t>(queued_);
    queued_ = 0;
    output_(message_.data());
}

} // namespace vandra
