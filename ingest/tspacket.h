#pragma once

#include <cstdint>
#include <cstring>

#include "core/chunk.h"

// Reading the fixed 4-byte header and the adaptation field of one 188-byte transport-stream
// packet. Every function takes a pointer to kTsPacketSize readable bytes and stays inside them,
// whatever the bytes say.
namespace vandra::ts {

inline constexpr std::uint8_t kSyncByte = 0x47;
inline constexpr std::uint16_t kPatPid = 0x0000;
inline constexpr std::uint16_t kNullPid = 0x1FFF;
inline constexpr std::int32_t kPidCount = 8192;
inline constexpr std::int32_t kHeaderSize = 4;

inline bool hasSync(const std::uint8_t* packet) {
    return packet[0] == kSyncByte;
}
inline bool transportError(const std::uint8_t* packet) {
    return (packet[1] & 0x80) != 0;
}
inline bool payloadUnitStart(const std::uint8_t* packet) {
    return (packet[1] & 0x40) != 0;
}
inline std::uint16_t pid(const std::uint8_t* packet) {
    return static_cast<std::uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}
inline std::uint8_t scrambling(const std::uint8_t* packet) {
    return packet[3] >> 6;
}
// adaptation_field_control 01 and 11 carry a payload; 00 is reserved and, like 10, carries none.
inline bool hasPayloadFlag(const std::uint8_t* packet) {
    return (packet[3] & 0x10) != 0;
}
inline bool hasAdaptationField(const std::uint8_t* packet) {
    return (packet[3] & 0x20) != 0;
}
inline std::uint8_t continuityCounter(const std::uint8_t* packet) {
    return packet[3] & 0x0F;
}

// The adaptation field's flags byte, or 0 when the packet has no adaptation field or it is
// empty: every indicator then reads as not set.
inline std::uint8_t adaptationFlags(const std::uint8_t* packet) {
    return hasAdaptationField(packet) && packet[4] > 0 ? packet[5] : 0;
}
inline bool discontinuityIndicator(const std::uint8_t* packet) {
    return (adaptationFlags(packet) & 0x80) != 0;
}
inline bool randomAccessIndicator(const std::uint8_t* packet) {
    return (adaptationFlags(packet) & 0x40) != 0;
}

// A null packet: payload only, counter 0 (decoders do not check null packets), all stuffing.
inline void writeNullPacket(std::uint8_t* out) {
    out[0] = kSyncByte;
    out[1] = kNullPid >> 8;
    out[2] = kNullPid & 0xFF;
    out[3] = 0x10;
    std::memset(out + kHeaderSize, 0xFF, kTsPacketSize - kHeaderSize);
}

// Where the payload begins, or kTsPacketSize when there is none: no payload flag, or an
// adaptation field that claims the whole packet or more.
inline std::int32_t payloadOffset(const std::uint8_t* packet) {
    if (!hasPayloadFlag(packet)) {
        return kTsPacketSize;
    }
    if (!hasAdaptationField(packet)) {
        return kHeaderSize;
    }
    const std::int32_t offset = kHeaderSize + 1 + packet[4];
    return offset < kTsPacketSize ? offset : kTsPacketSize;
}

} // namespace vandra::ts
