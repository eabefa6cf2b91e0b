#include "tools/tsframe.h"

#include <time.h>

namespace vandra::tsframe {

namespace {

constexpr std::uint8_t kPidHigh = (kPid >> 8) & 0x1f;
constexpr std::uint8_t kPidLow = kPid & 0xff;
constexpr std::uint8_t kPayloadOnly = 0x10; // adaptation_field_control = 01, not scrambled

void putBigEndian(std::uint8_t* out, std::uint64_t value) {
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<std::uint8_t>(value & 0xff);
        value >>= 8;
    }
}

std::uint64_t getBigEndian(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | in[i];
    }
    return value;
}

// splitmix64's finaliser: a bijection, so the pattern differs for every different
// (seq, timestamp) and no single corrupted bit anywhere in a packet can go unnoticed.
std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t patternSeed(std::uint64_t seq, std::uint64_t timestampUs) {
    return mix(seq ^ mix(timestampUs));
}

std::uint8_t patternByte(std::uint64_t seed, std::size_t index) {
    return static_cast<std::uint8_t>((seed >> (8 * (index % 8))) + index);
}

std::uint8_t continuityCounter(std::uint64_t seq) {
    return static_cast<std::uint8_t>(seq & 0x0f);
}

bool patternMatches(PacketIn in, std::uint64_t seed) {
    for (std::size_t i = 0; i < kPatternSize; ++i) {
        if (in[kPatternOffset + i] != patternByte(seed, i)) {
            return false;
        }
    }
    return true;
}

} // namespace

const char* faultName(Fault fault) {
    switch (fault) {
    case Fault::None:
        return "none";
    case Fault::BadSync:
        return "bad sync";
    case Fault::BadPid:
        return "bad pid";
    case Fault::BadHeader:
        return "bad header";
    case Fault::BadPattern:
        return "bad pattern";
    }
    return "unknown";
}

std::uint64_t monotonicNowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

void fillPacket(PacketOut out, std::uint64_t seq, std::uint64_t timestampUs) {
    out[0] = kSyncByte;
    out[1] = kPidHigh; // no error, no payload unit start, no priority
    out[2] = kPidLow;
    out[3] = kPayloadOnly | continuityCounter(seq);
    putBigEndian(&out[kHeaderSize], seq);
    putBigEndian(&out[kHeaderSize + 8], timestampUs);
    const std::uint64_t seed = patternSeed(seq, timestampUs);
    for (std::size_t i = 0; i < kPatternSize; ++i) {
        out[kPatternOffset + i] = patternByte(seed, i);
    }
}

std::size_t fillPackets(std::span<std::uint8_t> out, std::uint64_t firstSeq,
                        std::uint64_t timestampUs) {
    const std::size_t count = out.size() / kPacketSize;
    for (std::size_t i = 0; i < count; ++i) {
        fillPacket(out.subspan(i * kPacketSize).first<kPacketSize>(), firstSeq + i, timestampUs);
    }
    return count;
}

Verdict verifyPacket(PacketIn in) {
    if (in[0] != kSyncByte) {
        return {Fault::BadSync};
    }
    if ((in[1] & 0x1f) != kPidHigh || in[2] != kPidLow) {
        return {Fault::BadPid};
    }
    const std::uint64_t seq = getBigEndian(&in[kHeaderSize]);
    if ((in[1] & 0xe0) != 0 || in[3] != (kPayloadOnly | continuityCounter(seq))) {
        return {Fault::BadHeader};
    }
    const std::uint64_t timestampUs = getBigEndian(&in[kHeaderSize + 8]);
    if (!patternMatches(in, patternSeed(seq, timestampUs))) {
        return {Fault::BadPattern};
    }
    return {Fault::None, seq, timestampUs};
}

void SequenceTracker::observe(std::uint64_t seq) {
    if (!started_) {
        started_ = true;
        first_ = seq;
        last_ = seq;
        return;
    }
    if (seq > last_) {
        gaps_ += seq - last_ - 1;
        last_ = seq;
    } else {
        ++duplicates_;
    }
}

} // namespace vandra::tsframe
