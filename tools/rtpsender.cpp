#include "tools/rtpsender.h"

#include <utility>

namespace vandra::tool {

namespace {

constexpr std::uint8_t kVersionBits = 0x80;
constexpr std::uint8_t kPaddingBit = 0x20;
constexpr std::uint8_t kExtensionBit = 0x10;
// The one-byte extension form: all-zero data bytes are padding, so any length is valid.
constexpr std::uint16_t kExtensionProfile = 0xbede;

void put16(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value >> 16);
    put16(out, value & 0xffff);
}

} // namespace

RtpSender::RtpSender(const RtpOptions& options, Send send)
    : options_(options), sendDatagram_(std::move(send)), ssrc_(options.ssrc) {}

std::size_t RtpSender::overhead(const RtpOptions& options) {
    const std::size_t extension =
        options.extensionWords >= 0 ? 4 + 4 * static_cast<std::size_t>(options.extensionWords) : 0;
    return kFixedHeaderSize + 4 * options.csrcCount + extension + options.padding;
}

void RtpSender::send(std::span<const std::uint8_t> payload, std::uint32_t timestamp) {
    const std::uint64_t index = nextIndex_++;
    if (index > 0 && options_.ssrcChange.contains(index)) {
        ++ssrc_;
        ++injected_.ssrcChanges;
    }
    std::vector<std::uint8_t> datagram = wrap(payload, index, timestamp);
    const auto delay = options_.delay.find(index);
    if (options_.drop.contains(index)) {
        ++injected_.dropped;
    } else if (delay != options_.delay.end() && delay->second > 0) {
        held_.emplace(index + delay->second, Held{index, std::move(datagram)});
    } else {
        transmit(datagram, index);
    }
    releaseHeld(index);
}

void RtpSender::flush() {
    for (const auto& [after, held] : held_) {
        transmit(held.datagram, held.index);
    }
    held_.clear();
}

std::vector<std::uint8_t> RtpSender::wrap(std::span<const std::uint8_t> payload,
                                          std::uint64_t index, std::uint32_t timestamp) const {
    std::vector<std::uint8_t> out;
    out.reserve(overhead(options_) + payload.size());
    out.push_back(static_cast<std::uint8_t>(
        kVersionBits | (options_.padding > 0 ? kPaddingBit : 0) |
        (options_.extensionWords >= 0 ? kExtensionBit : 0) | options_.csrcCount));
    out.push_back(kPayloadTypeMp2t);
    put16(out, static_cast<std::uint16_t>(options_.firstSequence + index));
    put32(out, timestamp);
    put32(out, ssrc_);
    for (std::uint32_t i = 0; i < options_.csrcCount; ++i) {
        put32(out, ssrc_ + 1 + i);
    }
    if (options_.extensionWords >= 0) {
        put16(out, kExtensionProfile);
        put16(out, static_cast<std::uint32_t>(options_.extensionWords));
        out.resize(out.size() + 4 * static_cast<std::size_t>(options_.extensionWords), 0);
    }
    out.insert(out.end(), payload.begin(), payload.end());
    if (options_.padding > 0) {
        out.resize(out.size() + options_.padding - 1, 0);
        out.push_back(static_cast<std::uint8_t>(options_.padding));
    }
    return out;
}

void RtpSender::transmit(const std::vector<std::uint8_t>& datagram, std::uint64_t index) {
    if (!sendDatagram_(datagram, index, false)) {
        return;
    }
    if (anyTransmitted_ && highestTransmitted_ > index) {
        ++injected_.reordered;
    } else {
        highestTransmitted_ = index;
    }
    anyTransmitted_ = true;
    if (options_.duplicate.contains(index) && sendDatagram_(datagram, index, true)) {
        ++injected_.duplicated;
    }
}

void RtpSender::releaseHeld(std::uint64_t afterIndex) {
    const auto [first, last] = held_.equal_range(afterIndex);
    for (auto it = first; it != last; ++it) {
        transmit(it->second.datagram, it->second.index);
    }
    held_.erase(first, last);
}

} // namespace vandra::tool
