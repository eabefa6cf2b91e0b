#pragma once

#include <array>
#include <cstdint>

#include "core/chunk.h"
#include "ingest/sectionassembler.h"

namespace vandra {

enum class VideoCodec : std::uint8_t { None, Mpeg1, Mpeg2, H264, Hevc };

// "H.264", "HEVC", "MPEG-2", "MPEG-1" or "none".
const char* videoCodecName(VideoCodec codec);
// The codec of a PMT stream_type, None for anything that is not a video type we know.
VideoCodec videoCodecOf(std::uint8_t streamType);

// The programme tables of the input: the PAT on PID 0 gives the PMT PID of the first
// programme, its PMT gives the video PID and codec (the first elementary stream of a known
// video type). A table is taken from a complete section with a valid CRC_32 that applies now
// (current_next_indicator 1, section_number 0); a new version or other content replaces the
// old one. The packets that carried the latest PAT and PMT are kept as received, so that a new
// caller can be given the tables before anything else. Receiver thread only.
class ProgramTables {
public:
    static constexpr std::uint16_t kNoPid = 0xFFFF;

    enum class TableChunk {
        Built,
        NotKnown, // no PAT or no PMT of its first programme yet
        TooLarge, // the two tables need more than the seven packets of a chunk
    };

    ProgramTables();
    ProgramTables(const ProgramTables&) = delete;
    ProgramTables& operator=(const ProgramTables&) = delete;

    // One chunk of kChunkSize bytes, or one packet of kTsPacketSize bytes.
    void feedChunk(const std::uint8_t* chunk);
    void feedPacket(const std::uint8_t* packet);

    std::uint16_t programNumber() const { return programNumber_; }
    std::uint16_t pmtPid() const { return pmtPid_; }
    std::uint16_t videoPid() const { return videoPid_; }
    VideoCodec videoCodec() const { return videoCodec_; }
    std::uint8_t videoStreamType() const { return videoStreamType_; }
    // Changes whenever the content of the PAT or the PMT in use changes (the first of each
    // included), and never otherwise: a repeated table leaves it as it is.
    std::uint32_t generation() const { return generation_; }
    std::uint64_t crcErrors() const { return pat_.crcErrors() + pmt_.crcErrors(); }

    // Writes into `out` (kChunkSize bytes) the packets of the latest PAT, then those of the
    // latest PMT, unchanged, then null packets. Leaves `out` alone unless it returns Built.
    // The packets keep their continuity counters: they are the ones that came just before
    // what the stream carries next, so a decoder that is given the following chunks of the
    // same stream sees the counters of PID 0 and of the PMT PID go on without a jump.
    TableChunk buildTableChunk(std::uint8_t* out) const;

private:
    // The latest section of one table and the packets it came in.
    struct TableCopy {
        std::array<std::uint8_t, SectionAssembler::kMaxSectionSize> bytes{};
        std::int32_t size = 0; // 0: none yet
        std::array<std::uint8_t, SectionAssembler::kMaxPackets * kTsPacketSize> packets{};
        std::int32_t packetCount = 0; // 0: more than fit

        bool sameAs(const SectionAssembler::Section& section) const;
        void keep(const SectionAssembler::Section& section);
    };

    void onPatSection(const SectionAssembler::Section& section);
    void onPmtSection(const SectionAssembler::Section& section);
    void usePmt(const SectionAssembler::Section& section);
    void forgetPmt();

    SectionAssembler pat_;
    SectionAssembler pmt_;
    TableCopy latestPat_;
    TableCopy latestPmt_;
    std::uint16_t programNumber_ = 0;
    std::uint16_t pmtPid_ = kNoPid;
    std::uint16_t videoPid_ = kNoPid;
    VideoCodec videoCodec_ = VideoCodec::None;
    std::uint8_t videoStreamType_ = 0;
    std::uint32_t generation_ = 0;
};

} // namespace vandra
