#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "core/chunk.h"

// Builds small transport streams for the tests, written from the standard independently of
// the code under test (the CRC_32 bit by bit, headers by hand).
namespace vandra::test {

using Bytes = std::vector<std::uint8_t>;

// The PIDs of the tests' one programme.
constexpr std::uint16_t kPmtPid = 0x1000;
constexpr std::uint16_t kVideoPid = 0x100;

struct PacketFlags {
    bool unitStart = false;
    bool payload = true;
    bool randomAccess = false;
    bool syncLost = false;
    std::uint8_t scrambling = 0;
    int counter = -1; // -1: the PID's next counter
};

inline std::uint32_t bitwiseCrc32(const Bytes& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 31) ^ ((byte >> bit) & 1u)) != 0;
            crc = (crc << 1) ^ (top ? 0x04C11DB7u : 0u);
        }
    }
    return crc;
}

// A long-form section with its CRC_32.
inline Bytes section(std::uint8_t tableId, std::uint16_t idExtension, std::uint8_t version,
                     const Bytes& body, bool current = true) {
    const std::size_t length = 5 + body.size() + 4;
    Bytes out{tableId,
              static_cast<std::uint8_t>(0xB0 | (length >> 8)),
              static_cast<std::uint8_t>(length & 0xFF),
              static_cast<std::uint8_t>(idExtension >> 8),
              static_cast<std::uint8_t>(idExtension & 0xFF),
              static_cast<std::uint8_t>(0xC0 | (version & 0x1F) << 1 | (current ? 1 : 0)),
              0,
              0};
    out.insert(out.end(), body.begin(), body.end());
    const std::uint32_t crc = bitwiseCrc32(out);
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
    return out;
}

// program_number and PMT PID pairs.
inline Bytes patSection(const std::vector<std::pair<std::uint16_t, std::uint16_t>>& programs,
                        std::uint8_t version = 0) {
    Bytes body;
    for (const auto& [number, pid] : programs) {
        body.insert(body.end(), {static_cast<std::uint8_t>(number >> 8),
                                 static_cast<std::uint8_t>(number & 0xFF),
                                 static_cast<std::uint8_t>(0xE0 | pid >> 8),
                                 static_cast<std::uint8_t>(pid & 0xFF)});
    }
    return section(0x00, 1, version, body);
}

struct ElementaryStream {
    std::uint8_t streamType;
    std::uint16_t pid;
    std::size_t descriptorBytes = 0;
};

inline Bytes pmtSection(std::uint16_t program, const std::vector<ElementaryStream>& streams,
                        std::uint8_t version = 0) {
    Bytes body{0xE1, 0x00, 0xF0, 0x00}; // PCR_PID 0x100, no programme descriptors
    for (const ElementaryStream& stream : streams) {
        body.insert(body.end(),
                    {stream.streamType, static_cast<std::uint8_t>(0xE0 | stream.pid >> 8),
                     static_cast<std::uint8_t>(stream.pid & 0xFF),
                     static_cast<std::uint8_t>(0xF0 | stream.descriptorBytes >> 8),
                     static_cast<std::uint8_t>(stream.descriptorBytes & 0xFF)});
        body.insert(body.end(), stream.descriptorBytes, 0x42);
    }
    return section(0x02, program, version, body);
}

// A video PES packet start (stream_id 0xE0, no PTS) followed by `es`.
inline Bytes pes(const Bytes& es) {
    Bytes out{0, 0, 1, 0xE0, 0, 0, 0x80, 0x00, 0x00};
    out.insert(out.end(), es.begin(), es.end());
    return out;
}

// Writes packets with a continuity counter per PID, as a multiplexer would.
class StreamWriter {
public:
    // One packet; `payload` is cut at what fits and the rest filled with 0xFF.
    void packet(std::uint16_t pid, const Bytes& payload, PacketFlags flags = {}) {
        std::array<std::uint8_t, kTsPacketSize> out{};
        out.fill(0xFF);
        int& next = counters_[pid];
        const int counter = flags.counter >= 0 ? flags.counter : next;
        if (flags.payload) {
            next = (counter + 1) & 0x0F;
        }
        const bool adaptation = flags.randomAccess || !flags.payload;
        out[0] = flags.syncLost ? 0x46 : 0x47;
        out[1] = static_cast<std::uint8_t>((flags.unitStart ? 0x40 : 0) | pid >> 8);
        out[2] = static_cast<std::uint8_t>(pid & 0xFF);
        out[3] = static_cast<std::uint8_t>(flags.scrambling << 6 | (adaptation ? 0x20 : 0) |
                                           (flags.payload ? 0x10 : 0) | counter);
        std::size_t at = 4;
        if (adaptation) {
            out[4] = flags.payload ? 1 : 183;
            out[5] = flags.randomAccess ? 0x40 : 0;
            at = flags.payload ? 6 : kTsPacketSize;
        }
        for (std::size_t i = 0; i < payload.size() && at < kTsPacketSize; ++i) {
            out[at++] = payload[i];
        }
        bytes_.insert(bytes_.end(), out.begin(), out.end());
    }

    // A section cut into packets, pointer_field 0 in the first.
    void table(std::uint16_t pid, const Bytes& sectionBytes) {
        Bytes rest{0};
        rest.insert(rest.end(), sectionBytes.begin(), sectionBytes.end());
        for (bool first = true; !rest.empty(); first = false) {
            packet(pid, rest, {.unitStart = first});
            rest.erase(rest.begin(), rest.begin() + std::min<std::ptrdiff_t>(184, rest.size()));
        }
    }

    // Null packets up to the next chunk boundary.
    void padChunk() {
        while (bytes_.size() % kChunkSize != 0) {
            packet(0x1FFF, {});
        }
    }

    const Bytes& bytes() const { return bytes_; }
    std::size_t chunks() const { return bytes_.size() / kChunkSize; }
    const std::uint8_t* chunk(std::size_t index) const {
        return bytes_.data() + index * kChunkSize;
    }
    const std::uint8_t* packetAt(std::size_t index) const {
        return bytes_.data() + index * kTsPacketSize;
    }

private:
    Bytes bytes_;
    std::map<std::uint16_t, int> counters_;
};

} // namespace vandra::test
