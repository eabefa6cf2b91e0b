#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "core/chunk.h"

namespace vandra {

// Puts the RTP packets of one stream back in sequence order and counts what the network did
// to them. Everything about sequence numbers lives here, and any number of inputs carrying the
// same stream may feed it: a copy that arrives second is just a duplicate.
//
// Counting rules (each received packet lands in exactly one of delivered, duplicates, late, or
// is still waiting; lost counts sequence numbers, not packets):
// - delivered:  handed to the callback, in order.
// - lost:       numbers skipped when delivery moved on without them: the window of
//               Window::packets numbers was exceeded, the oldest waiting packet was Window::ms
//               old, or the stream restarted with packets waiting behind a gap.
// - duplicates: a number already delivered or already waiting; dropped.
// - reordered:  a packet that arrived after a higher number of its stream, whether it was put
//               back in place or came too late.
// - late:       a reordered packet whose number had already been declared lost (or lies
//               before the stream's first number); dropped, and its number stays counted as
//               lost, since the output misses it.
// - restarts:   a new stream began: the SSRC changed, the number jumped more than
//               kMaxDropout ahead or Window::misorder behind, or no packet was taken for
//               kRestartGapMs and the number is not within the window. Nothing is counted as
//               lost for the jump itself.
//
// Steady state is allocation-free: a packet that arrives in order with nothing waiting goes
// straight to the callback; one ahead of a gap is copied into a fixed slot. Receiver thread
// only; the callback must not call back into the sequencer.
class RtpSequencer {
public:
    static constexpr std::int32_t kWindowPackets = 32;
    static constexpr std::int64_t kWindowMs = 50;
    static constexpr std::int64_t kRestartGapMs = 1000;
    static constexpr std::int32_t kMaxDropout = 3000;
    static constexpr std::int32_t kMaxMisorder = 1024;
    static constexpr std::int32_t kMaxPayloadSize = kChunkSize;
    // The most numbers behind the next one whose fate (delivered or lost) is remembered.
    static constexpr std::int32_t kMaxTracked = 4096;

    // How long and how far the sequencer waits for a gap; one input keeps the defaults, two
    // merged paths need room for the lead one path has over the other.
    struct Window {
        std::int32_t packets = kWindowPackets; // numbers held behind a gap, at most kMaxTracked
        std::int64_t ms = kWindowMs;           // how long a gap waits before it counts as lost
        std::int32_t misorder = kMaxMisorder;  // below kMaxTracked
    };

    using Deliver = std::function<void(std::uint16_t sequence, std::span<const std::uint8_t>)>;

    struct Counters {
        std::uint64_t delivered = 0;
        std::uint64_t lost = 0;
        std::uint64_t duplicates = 0;
        std::uint64_t reordered = 0;
        std::uint64_t late = 0;
        std::uint64_t restarts = 0;
    };

    explicit RtpSequencer(Deliver deliver);
    RtpSequencer(Deliver deliver, const Window& window);
    // Before the first push: the slots are allocated here, never while packets flow.
    void setWindow(const Window& window);
    const Window& window() const { return window_; }

    // Takes one packet received at `nowMs` (steady clock). False, with nothing counted, only
    // for a payload longer than kMaxPayloadSize, which the parser never yields.
    bool push(std::uint16_t sequence, std::uint32_t ssrc, std::span<const std::uint8_t> payload,
              std::int64_t nowMs);
    // Releases packets that waited Window::ms for a gap to fill; call it every 10-50 ms so that
    // they leave even when no packet follows.
    void tick(std::int64_t nowMs);

    const Counters& counters() const { return counters_; }
    std::int32_t waiting() const { return waiting_; }
    // The stream's SSRC and the highest number taken; meaningful once a packet was taken.
    std::uint32_t ssrc() const { return ssrc_; }
    std::uint16_t highest() const { return highest_; }

private:
    struct Slot {
        bool filled = false;
        std::uint16_t sequence = 0;
        std::int32_t length = 0;
        std::int64_t arrivalMs = 0;
        std::array<std::uint8_t, kMaxPayloadSize> bytes{};
    };

    static std::int32_t distance(std::uint16_t from, std::uint16_t to) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(to - from));
    }
    bool inWindow(std::int32_t delta) const { return delta >= 0 && delta < window_.packets; }
    Slot& slotFor(std::uint16_t sequence) {
        return slots_[static_cast<std::size_t>(sequence % window_.packets)];
    }

    bool startsNewStream(std::uint16_t sequence, std::uint32_t ssrc, std::int64_t nowMs) const;
    void beginStream(std::uint16_t sequence, std::uint32_t ssrc);
    void takeBehind(std::uint16_t sequence);
    void takeAhead(std::uint16_t sequence, std::span<const std::uint8_t> payload,
                   std::int64_t nowMs);
    void store(std::uint16_t sequence, std::span<const std::uint8_t> payload, std::int64_t nowMs);
    void deliverNow(std::uint16_t sequence, std::span<const std::uint8_t> payload);
    void passExpected();
    void deliverReadyRun();
    void advanceTo(std::uint16_t sequence);
    void flushWaiting();
    void releaseExpired(std::int64_t nowMs);
    void findOldestWaiting();

    Deliver deliver_;
    Window window_;
    std::vector<Slot> slots_;
    // Bit n % kMaxTracked: whether number n, among the kMaxTracked before expected_, was
    // delivered; tells a duplicate from a late packet.
    std::bitset<kMaxTracked> delivered_;
    bool started_ = false;
    std::uint32_t ssrc_ = 0;
    std::uint16_t expected_ = 0; // the next number to deliver
    std::uint16_t highest_ = 0;  // the highest number taken in this stream
    std::int32_t waiting_ = 0;
    std::int64_t oldestWaitingMs_ = 0;
    std::int64_t lastTakenMs_ = 0;
    Counters counters_;
};

} // namespace vandra
