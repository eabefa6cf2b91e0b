#include "ingest/randomaccess.h"

#include "ingest/tspacket.h"

namespace vandra {

namespace {

constexpr std::int32_t kPesHeaderSize = 9; // up to and including PES_header_data_length

enum class Verdict { Skip, Yes, No };

// The position just after the next 00 00 01 in [at, end), or end.
std::int32_t nextStartCode(const std::uint8_t* data, std::int32_t at, std::int32_t end) {
    for (; at + 2 < end; ++at) {
        if (data[at + 2] > 1) {
            at += 2; // no start code can end within these three bytes
        } else if (data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1) {
            return at + 3;
        }
    }
    return end;
}

Verdict judgeH264(const std::uint8_t* unit, std::int32_t available) {
    if (available < 1 || (unit[0] & 0x80) != 0) {
        return Verdict::No;
    }
    switch (unit[0] & 0x1F) {
    case 5: // IDR slice
        return Verdict::Yes;
    case 6:  // SEI
    case 7:  // sequence parameter set
    case 8:  // picture parameter set
    case 9:  // access unit delimiter
    case 10: // end of sequence
    case 11: // end of stream
    case 13: // sequence parameter set extension
        return Verdict::Skip;
    default:
        return Verdict::No;
    }
}

Verdict judgeHevc(const std::uint8_t* unit, std::int32_t available) {
    if (available < 2 || (unit[0] & 0x80) != 0) {
        return Verdict::No;
    }
    const std::int32_t type = (unit[0] >> 1) & 0x3F;
    if (type >= 16 && type <= 23) { // BLA, IDR, CRA and the reserved IRAP types
        return Verdict::Yes;
    }
    switch (type) {
    case 32: // video parameter set
    case 33: // sequence parameter set
    case 34: // picture parameter set
    case 35: // access unit delimiter
    case 36: // end of sequence
    case 37: // end of bitstream
    case 39: // prefix SEI
        return Verdict::Skip;
    default:
        return Verdict::No;
    }
}

Verdict judgeMpegVideo(const std::uint8_t* unit, std::int32_t available) {
    if (available < 1) {
        return Verdict::No;
    }
    switch (unit[0]) {
    case 0x00: // picture header: temporal_reference (10 bits), picture_coding_type (3 bits)
        return available >= 3 && ((unit[2] >> 3) & 0x07) == 1 ? Verdict::Yes : Verdict::No;
    case 0xB2: // user data
    case 0xB3: // sequence header
    case 0xB5: // extension
    case 0xB7: // sequence end
    case 0xB8: // group of pictures
        return Verdict::Skip;
    default:
        return Verdict::No;
    }
}

Verdict judgeUnit(VideoCodec codec, const std::uint8_t* unit, std::int32_t available) {
    switch (codec) {
    case VideoCodec::H264:
        return judgeH264(unit, available);
    case VideoCodec::Hevc:
        return judgeHevc(unit, available);
    case VideoCodec::Mpeg1:
    case VideoCodec::Mpeg2:
        return judgeMpegVideo(unit, available);
    case VideoCodec::None:
        break;
    }
    return Verdict::No;
}

// Video PES packets: stream_id 0xE0-0xEF, or 0xFD (extended); both have the optional header.
bool isVideoStreamId(std::uint8_t streamId) {
    return (streamId & 0xF0) == 0xE0 || streamId == 0xFD;
}

bool startsWithKeyPicture(const std::uint8_t* payload, std::int32_t size, VideoCodec codec) {
    if (size < kPesHeaderSize || payload[0] != 0 || payload[1] != 0 || payload[2] != 1 ||
        !isVideoStreamId(payload[3])) {
        return false;
    }
    // '10' marker bits, and PES_scrambling_control 00.
    if ((payload[6] & 0xF0) != 0x80) {
        return false;
    }
    std::int32_t at = kPesHeaderSize + payload[8];
    for (;;) {
        at = nextStartCode(payload, at, size);
        if (at >= size) {
            return false;
        }
        switch (judgeUnit(codec, payload + at, size - at)) {
        case Verdict::Yes:
            return true;
        case Verdict::No:
            return false;
        case Verdict::Skip:
            break;
        }
    }
}

} // namespace

RandomAccess classifyRandomAccess(const std::uint8_t* packet, std::uint16_t videoPid,
                                  VideoCodec codec) {
    if (!ts::hasSync(packet) || ts::transportError(packet) || ts::pid(packet) != videoPid ||
        ts::scrambling(packet) != 0) {
        return RandomAccess::None;
    }
    if (ts::randomAccessIndicator(packet)) {
        return RandomAccess::Indicator;
    }
    if (!ts::payloadUnitStart(packet)) {
        return RandomAccess::None;
    }
    const std::int32_t offset = ts::payloadOffset(packet);
    return startsWithKeyPicture(packet + offset, kTsPacketSize - offset, codec)
               ? RandomAccess::Picture
               : RandomAccess::None;
}

std::int32_t findRandomAccess(const std::uint8_t* chunk, const ProgramTables& tables) {
    if (tables.videoPid() == ProgramTables::kNoPid) {
        return -1;
    }
    for (std::int32_t index = 0; index < kPacketsPerChunk; ++index) {
        if (classifyRandomAccess(chunk + index * kTsPacketSize, tables.videoPid(),
                                 tables.videoCodec()) != RandomAccess::None) {
            return index;
        }
    }
    return -1;
}

} // namespace vandra
