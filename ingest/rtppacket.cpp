#include "ingest/rtppacket.h"

namespace vandra {

namespace {

std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t read32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

constexpr std::uint8_t kPaddingBit = 0x20;
constexpr std::uint8_t kExtensionBit = 0x10;
constexpr std::uint8_t kCsrcCountMask = 0x0f;
constexpr std::uint8_t kMarkerBit = 0x80;
constexpr std::uint8_t kPayloadTypeMask = 0x7f;
constexpr std::size_t kCsrcSize = 4;
constexpr std::size_t kExtensionWordSize = 4;

} // namespace

const char* RtpPacket::errorText(Error error) {
    switch (error) {
    case Error::None:
        return "ok";
    case Error::NotRtp:
        return "not RTP version 2";
    case Error::TruncatedHeader:
        return "truncated RTP header";
    case Error::TruncatedCsrcList:
        return "truncated CSRC list";
    case Error::TruncatedExtension:
        return "truncated header extension";
    case Error::BadPadding:
        return "bad padding";
    case Error::EmptyPayload:
        return "empty payload";
    case Error::PayloadTooLong:
        return "payload too long";
    case Error::PayloadNotWholePackets:
        return "payload not whole TS packets";
    }
    return "unknown";
}

RtpPacket::Error RtpPacket::parse(std::span<const std::uint8_t> datagram) {
    if (!isRtp(datagram)) {
        return fail(Error::NotRtp);
    }
    const std::size_t size = datagram.size();
    if (size < kFixedHeaderSize) {
        return fail(Error::TruncatedHeader);
    }
    const std::uint8_t* data = datagram.data();
    marker_ = (data[1] & kMarkerBit) != 0;
    payloadType_ = data[1] & kPayloadTypeMask;
    sequence_ = read16(data + 2);
    timestamp_ = read32(data + 4);
    ssrc_ = read32(data + 8);

    // Every step compares against what is left, so no offset can pass the end.
    std::size_t offset = kFixedHeaderSize + (data[0] & kCsrcCountMask) * kCsrcSize;
    if (offset > size) {
        return fail(Error::TruncatedCsrcList);
    }
    if ((data[0] & kExtensionBit) != 0) {
        if (size - offset < kExtensionHeaderSize) {
            return fail(Error::TruncatedExtension);
        }
        const std::size_t words = read16(data + offset + 2);
        offset += kExtensionHeaderSize;
        if ((size - offset) / kExtensionWordSize < words) {
            return fail(Error::TruncatedExtension);
        }
        offset += words * kExtensionWordSize;
    }
    std::size_t length = size - offset;
    if ((data[0] & kPaddingBit) != 0) {
        // The count includes its own byte, so 0 is malformed.
        const std::size_t padding = length == 0 ? 0 : data[size - 1];
        if (padding == 0 || padding > length) {
            return fail(Error::BadPadding);
        }
        length -= padding;
    }
    if (length == 0) {
        return fail(Error::EmptyPayload);
    }
    if (length > kMaxPayloadSize) {
        return fail(Error::PayloadTooLong);
    }
    if (length % kTsPacketSize != 0) {
        return fail(Error::PayloadNotWholePackets);
    }
    payload_ = datagram.subspan(offset, length);
    return Error::None;
}

} // namespace vandra
