#pragma once

#include <cstdint>
#include <span>

#include "core/chunk.h"

namespace vandra {

// One received datagram read as RTP carrying transport-stream packets. Telling RTP from raw TS
// needs no state: a raw datagram starts with the sync byte 0x47, whose top two bits (01) are
// not RTP's version 2. The packet points into the datagram it was parsed from, so that datagram
// must outlive it. Nothing is logged here; the receiver counts and logs the results.
class RtpPacket {
public:
    static constexpr std::int32_t kVersion = 2;
    static constexpr std::int32_t kFixedHeaderSize = 12;
    static constexpr std::int32_t kMaxCsrcCount = 15;
    static constexpr std::int32_t kExtensionHeaderSize = 4;
    static constexpr std::int32_t kMaxPadding = 255;
    // The oversize rule of raw datagrams, applied to the payload.
    static constexpr std::int32_t kMaxPayloadSize = kChunkSize;
    // What the receive buffer must take. The fixed header, a full CSRC list, an extension
    // header, a full payload and the largest padding need 12 + 60 + 4 + 1316 + 255 = 1647
    // bytes; the rest leaves 401 bytes (100 words) of extension data. Real senders use a few
    // words at most, so a longer datagram is counted as oversize rather than buffered.
    static constexpr std::int32_t kMaxDatagramSize = 2048;
    static constexpr std::uint8_t kFirstRtcpType = 192;
    static constexpr std::uint8_t kLastRtcpType = 223;

    enum class Error : std::uint8_t {
        None,
        NotRtp,             // version bits not 2: the raw path takes it
        TruncatedHeader,    // shorter than the fixed header
        TruncatedCsrcList,  // the CSRC count runs past the end
        TruncatedExtension, // the extension header or its words run past the end
        BadPadding,         // padding count 0, or more than follows the headers
        EmptyPayload,
        PayloadTooLong,         // more than kMaxPayloadSize bytes
        PayloadNotWholePackets, // not a multiple of the 188-byte TS packet
    };

    static bool isRtp(std::span<const std::uint8_t> datagram) {
        return !datagram.empty() && datagram[0] >> 6 == kVersion;
    }
    // RTCP sharing the data port (RFC 5761): its packet types 192-223 sit where RTP has the
    // marker bit and payload types 64-95, which no transport-stream sender uses.
    static bool isRtcp(std::span<const std::uint8_t> datagram) {
        return isRtp(datagram) && datagram.size() >= 2 && datagram[1] >= kFirstRtcpType &&
               datagram[1] <= kLastRtcpType;
    }
    // Short and fixed, for the receiver's log line.
    static const char* errorText(Error error);

    // Reads the headers of `datagram`; on success payload() holds whole TS packets. On an
    // error the fields are unspecified and the payload is empty.
    Error parse(std::span<const std::uint8_t> datagram);

    std::span<const std::uint8_t> payload() const { return payload_; }
    std::uint16_t sequence() const { return sequence_; }
    std::uint32_t timestamp() const { return timestamp_; }
    std::uint32_t ssrc() const { return ssrc_; }
    std::uint8_t payloadType() const { return payloadType_; }
    bool marker() const { return marker_; }

private:
    Error fail(Error error) {
        payload_ = {};
        return error;
    }

    std::span<const std::uint8_t> payload_;
    std::uint16_t sequence_ = 0;
    std::uint32_t timestamp_ = 0;
    std::uint32_t ssrc_ = 0;
    std::uint8_t payloadType_ = 0;
    bool marker_ = false;
};

} // namespace vandra
