#pragma once

#include <cstdint>

#include "ingest/programtables.h"

// Finds where a decoder can start the video: random access points of the video PID.
namespace vandra {

enum class RandomAccess : std::uint8_t {
    None,
    Indicator, // the adaptation field's random_access_indicator
    Picture,   // a PES packet whose first access unit is an IDR, IRAP or I-picture
};

// Whether one packet (kTsPacketSize bytes) of `videoPid` starts a random access point, and by
// which sign. The indicator is trusted as the encoder's word. Without it, a packet that starts
// a PES packet is read, within its own payload only, for the first picture: H.264 IDR (NAL
// type 5) after access unit delimiter, parameter sets or SEI; HEVC IRAP (NAL types 16-23)
// after access unit delimiter, parameter sets, SEI or end of sequence; MPEG-1/2 picture_coding_type
// I after sequence, extension, user data or GOP headers. A scrambled packet, or one with a
// transport error, is never a random access point: its bytes say nothing readable.
RandomAccess classifyRandomAccess(const std::uint8_t* packet, std::uint16_t videoPid,
                                  VideoCodec codec);

// The index (0-6) of the first packet of a chunk (kChunkSize bytes) that starts a random
// access point of the tables' video PID; -1 when there is none or no video PID is known.
std::int32_t findRandomAccess(const std::uint8_t* chunk, const ProgramTables& tables);

} // namespace vandra
