#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <vector>

// RTP for the test publisher: wraps each payload in an RTP header (version 2, payload type 33)
// and injects faults at known packet indexes, counting what it did so that a test can compare
// a receiver's counters exactly. Written apart from the server's parser on purpose.
namespace vandra::tool {

struct RtpOptions {
    std::uint16_t firstSequence = 0;
    std::uint32_t ssrc = 0;
    std::uint32_t csrcCount = 0; // up to 15
    int extensionWords = -1;     // -1: no header extension
    std::uint32_t padding = 0;   // 0: no padding, else 1..255 bytes including the count
    // Faults by packet index (0 = the first payload): never sent; sent twice in a row; a new
    // SSRC from this index on; sent only after the given number of later packets.
    std::set<std::uint64_t> drop;
    std::set<std::uint64_t> duplicate;
    std::set<std::uint64_t> ssrcChange;
    std::map<std::uint64_t, std::uint64_t> delay;
};

struct RtpInjected {
    std::uint64_t dropped = 0;
    std::uint64_t duplicated = 0;
    std::uint64_t reordered = 0; // sent after a higher index
    std::uint64_t ssrcChanges = 0;
};

class RtpSender {
public:
    static constexpr std::uint8_t kPayloadTypeMp2t = 33;
    static constexpr std::size_t kFixedHeaderSize = 12;

    // Sends one datagram; `index` is the packet index, `copy` marks the second of a duplicate.
    // False when the send failed: the packet then counts as not sent.
    using Send =
        std::function<bool(std::span<const std::uint8_t> datagram, std::uint64_t index, bool copy)>;

    RtpSender(const RtpOptions& options, Send send);

    // Header and padding bytes around each payload.
    static std::size_t overhead(const RtpOptions& options);
    // Wraps `payload` as the next packet index, stamped with a 90 kHz `timestamp`.
    void send(std::span<const std::uint8_t> payload, std::uint32_t timestamp);
    // Sends what is still held back for a delay that reaches past the last packet.
    void flush();

    const RtpInjected& injected() const { return injected_; }
    bool anySent() const { return nextIndex_ > 0; }
    std::uint16_t lastSequence() const {
        return static_cast<std::uint16_t>(options_.firstSequence + nextIndex_ - 1);
    }
    std::uint32_t firstSsrc() const { return options_.ssrc; }

private:
    struct Held {
        std::uint64_t index;
        std::vector<std::uint8_t> datagram;
    };

    std::vector<std::uint8_t> wrap(std::span<const std::uint8_t> payload, std::uint64_t index,
                                   std::uint32_t timestamp) const;
    void transmit(const std::vector<std::uint8_t>& datagram, std::uint64_t index);
    void releaseHeld(std::uint64_t afterIndex);

    const RtpOptions options_;
    const Send sendDatagram_;
    std::uint32_t ssrc_;
    std::uint64_t nextIndex_ = 0;
    bool anyTransmitted_ = false;
    std::uint64_t highestTransmitted_ = 0;
    std::multimap<std::uint64_t, Held> held_; // by the index after which each is sent
    RtpInjected injected_;
};

} // namespace vandra::tool
