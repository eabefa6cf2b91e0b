#include "ingest/programtables.h"

#include <cstring>

#include "ingest/tspacket.h"

namespace vandra {

namespace {

constexpr std::uint8_t kPatTableId = 0x00;
constexpr std::uint8_t kPmtTableId = 0x02;
constexpr std::int32_t kLongHeaderSize = 8; // table_id to last_section_number
constexpr std::int32_t kCrcSize = 4;
// PIDs below 0x0010 carry other tables; the null PID carries nothing.
bool isStreamPid(std::uint16_t pid) {
    return pid >= 0x0010 && pid != ts::kNullPid;
}

std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}
std::uint16_t read13(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] & 0x1F) << 8 | at[1]);
}
std::int32_t read12(const std::uint8_t* at) {
    return (at[0] & 0x0F) << 8 | at[1];
}

// A section that applies now and is the first (for PAT and PMT usually the only) one.
bool isCurrentFirstSection(const SectionAssembler::Section& section, std::uint8_t tableId) {
    return section.bytes[0] == tableId && (section.bytes[5] & 0x01) != 0 && section.bytes[6] == 0;
}

} // namespace

const char* videoCodecName(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::Mpeg1:
        return "MPEG-1";
    case VideoCodec::Mpeg2:
        return "MPEG-2";
    case VideoCodec::H264:
        return "H.264";
    case VideoCodec::Hevc:
        return "HEVC";
    case VideoCodec::None:
        break;
    }
    return "none";
}

VideoCodec videoCodecOf(std::uint8_t streamType) {
    switch (streamType) {
    case 0x01:
        return VideoCodec::Mpeg1;
    case 0x02:
        return VideoCodec::Mpeg2;
    case 0x1B:
        return VideoCodec::H264;
    case 0x24:
        return VideoCodec::Hevc;
    default:
        return VideoCodec::None;
    }
}

bool ProgramTables::TableCopy::sameAs(const SectionAssembler::Section& section) const {
    return size == section.size &&
           std::memcmp(bytes.data(), section.bytes, static_cast<size_t>(size)) == 0;
}

void ProgramTables::TableCopy::keep(const SectionAssembler::Section& section) {
    size = section.size;
    std::memcpy(bytes.data(), section.bytes, static_cast<size_t>(size));
    packetCount = section.packetCount;
    if (packetCount > 0) {
        std::memcpy(packets.data(), section.packets,
                    static_cast<size_t>(packetCount * kTsPacketSize));
    }
}

ProgramTables::ProgramTables()
    : pat_([this](const SectionAssembler::Section& section) { onPatSection(section); }),
      pmt_([this](const SectionAssembler::Section& section) { onPmtSection(section); }) {}

void ProgramTables::feedChunk(const std::uint8_t* chunk) {
    for (std::int32_t at = 0; at < kChunkSize; at += kTsPacketSize) {
        feedPacket(chunk + at);
    }
}

void ProgramTables::feedPacket(const std::uint8_t* packet) {
    if (!ts::hasSync(packet)) {
        return;
    }
    const std::uint16_t pid = ts::pid(packet);
    if (pid == ts::kPatPid) {
        pat_.feed(packet);
    } else if (pid == pmtPid_) {
        pmt_.feed(packet);
    }
}

void ProgramTables::onPatSection(const SectionAssembler::Section& section) {
    if (!isCurrentFirstSection(section, kPatTableId)) {
        return;
    }
    if (latestPat_.sameAs(section)) {
        latestPat_.keep(section); // the same table, in the latest packets
        return;
    }
    latestPat_.keep(section);
    ++generation_;
    std::uint16_t programNumber = 0;
    std::uint16_t pmtPid = kNoPid;
    const std::int32_t loopEnd = section.size - kCrcSize;
    for (std::int32_t at = kLongHeaderSize; at + 4 <= loopEnd; at += 4) {
        const std::uint16_t number = read16(section.bytes + at);
        const std::uint16_t pid = read13(section.bytes + at + 2);
        if (number != 0 && isStreamPid(pid)) {
            programNumber = number;
            pmtPid = pid;
            break;
        }
    }
    if (programNumber != programNumber_ || pmtPid != pmtPid_) {
        programNumber_ = programNumber;
        pmtPid_ = pmtPid;
        forgetPmt();
    }
}

void ProgramTables::forgetPmt() {
    pmt_.reset();
    latestPmt_.size = 0;
    videoPid_ = kNoPid;
    videoCodec_ = VideoCodec::None;
    videoStreamType_ = 0;
}

void ProgramTables::onPmtSection(const SectionAssembler::Section& section) {
    // One PID may carry the PMTs of several programmes.
    if (!isCurrentFirstSection(section, kPmtTableId) ||
        read16(section.bytes + 3) != programNumber_) {
        return;
    }
    if (latestPmt_.sameAs(section)) {
        latestPmt_.keep(section);
        return;
    }
    usePmt(section);
}

void ProgramTables::usePmt(const SectionAssembler::Section& section) {
    const std::uint8_t* bytes = section.bytes;
    const std::int32_t loopEnd = section.size - kCrcSize;
    // PCR_PID and program_info_length follow the common header.
    if (kLongHeaderSize + 4 > loopEnd) {
        return;
    }
    std::int32_t at = kLongHeaderSize + 4 + read12(bytes + kLongHeaderSize + 2);
    std::uint16_t videoPid = kNoPid;
    std::uint8_t streamType = 0;
    for (; at + 5 <= loopEnd; at += 5 + read12(bytes + at + 3)) {
        if (videoCodecOf(bytes[at]) != VideoCodec::None && isStreamPid(read13(bytes + at + 1))) {
            streamType = bytes[at];
            videoPid = read13(bytes + at + 1);
            break;
        }
    }
    latestPmt_.keep(section);
    ++generation_;
    videoPid_ = videoPid;
    videoStreamType_ = streamType;
    videoCodec_ = videoCodecOf(streamType);
}

ProgramTables::TableChunk ProgramTables::buildTableChunk(std::uint8_t* out) const {
    if (latestPat_.size == 0 || latestPmt_.size == 0) {
        return TableChunk::NotKnown;
    }
    const std::int32_t patPackets = latestPat_.packetCount;
    const std::int32_t pmtPackets = latestPmt_.packetCount;
    if (patPackets == 0 || pmtPackets == 0 || patPackets + pmtPackets > kPacketsPerChunk) {
        return TableChunk::TooLarge;
    }
    std::memcpy(out, latestPat_.packets.data(), static_cast<size_t>(patPackets * kTsPacketSize));
    std::memcpy(out + patPackets * kTsPacketSize, latestPmt_.packets.data(),
                static_cast<size_t>(pmtPackets * kTsPacketSize));
    for (std::int32_t index = patPackets + pmtPackets; index < kPacketsPerChunk; ++index) {
        ts::writeNullPacket(out + index * kTsPacketSize);
    }
    return TableChunk::Built;
}

} // namespace vandra
