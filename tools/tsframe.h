#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The test stream: TS packets on one PID whose payload carries a sequence number, the send
// time and a pattern derived from both, so a receiver can tell loss, duplication, corruption
// and delay apart without any reference copy of the stream.
namespace vandra::tsframe {

inline constexpr std::size_t kPacketSize = 188;
inline constexpr std::size_t kPacketsPerDatagram = 7;
inline constexpr std::size_t kDatagramSize = kPacketSize * kPacketsPerDatagram;
inline constexpr std::uint8_t kSyncByte = 0x47;
inline constexpr std::uint16_t kPid = 0x0100;
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kPatternOffset = kHeaderSize + 16; // after seq and timestamp
inline constexpr std::size_t kPatternSize = kPacketSize - kPatternOffset;

using PacketOut = std::span<std::uint8_t, kPacketSize>;
using PacketIn = std::span<const std::uint8_t, kPacketSize>;

enum class Fault {
    None,
    BadSync,
    BadPid,
    BadHeader, // flags, adaptation field control or continuity counter not as written
    BadPattern,
};

const char* faultName(Fault fault);

struct Verdict {
    Fault fault = Fault::None;
    std::uint64_t seq = 0;         // valid only when ok()
    std::uint64_t timestampUs = 0; // valid only when ok()

    bool ok() const { return fault == Fault::None; }
};

// CLOCK_MONOTONIC in microseconds: the same clock in every process on one machine, so a
// receiver can subtract a sender's timestamp.
std::uint64_t monotonicNowUs();

void fillPacket(PacketOut out, std::uint64_t seq, std::uint64_t timestampUs);

// Fills out.size() / kPacketSize consecutive packets starting at firstSeq and returns how
// many were written; a tail shorter than one packet is left untouched.
std::size_t fillPackets(std::span<std::uint8_t> out, std::uint64_t firstSeq,
                        std::uint64_t timestampUs);

Verdict verifyPacket(PacketIn in);

// Sequence continuity of one receiver. The first sequence number seen is the reference;
// a jump forward counts the skipped numbers as gaps, anything not ahead of the last one is
// a duplicate (a late, reordered packet included: live delivery must not reorder).
class SequenceTracker {
public:
    void observe(std::uint64_t seq);

    bool started() const { return started_; }
    std::uint64_t first() const { return first_; }
    std::uint64_t last() const { return last_; }
    std::uint64_t gaps() const { return gaps_; }
    std::uint64_t duplicates() const { return duplicates_; }

private:
    bool started_ = false;
    std::uint64_t first_ = 0;
    std::uint64_t last_ = 0;
    std::uint64_t gaps_ = 0;
    std::uint64_t duplicates_ = 0;
};

} // namespace vandra::tsframe
