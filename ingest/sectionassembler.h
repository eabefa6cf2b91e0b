#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "core/chunk.h"

namespace vandra {

// The CRC_32 of PSI sections (polynomial 0x04C11DB7, initial value all ones, no reflection):
// over a whole section, CRC_32 field included, it is 0 when the section is intact.
std::uint32_t psiCrc32(const std::uint8_t* data, std::int32_t length);

// Reassembles the long-form PSI sections (PAT, PMT) carried on one PID from its packets, and
// keeps the packets each section came in, so that they can be sent on as received. A section
// in progress is dropped on a gap in the continuity counter, a transport error, scrambling, a
// pointer_field past the payload, a section_length out of bounds or a new section starting
// before it ended; a complete one is handed on only when its CRC_32 is right. Receiver thread
// only.
class SectionAssembler {
public:
    // 3 header bytes and a section_length of at most 1021, the limit for PAT and PMT.
    static constexpr std::int32_t kMaxSectionSize = 1024;
    // Leaves at least one packet of a chunk for the other table.
    static constexpr std::int32_t kMaxPackets = kPacketsPerChunk - 1;

    struct Section {
        const std::uint8_t* bytes; // table_id to CRC_32
        std::int32_t size;
        // The whole packets that carried it, in order; none when they were more than kMaxPackets.
        const std::uint8_t* packets;
        std::int32_t packetCount;
    };
    using Handler = std::function<void(const Section& section)>;

    explicit SectionAssembler(Handler handler) : handler_(std::move(handler)) {}
    SectionAssembler(const SectionAssembler&) = delete;
    SectionAssembler& operator=(const SectionAssembler&) = delete;

    // One packet of this PID whose sync byte was checked.
    void feed(const std::uint8_t* packet);
    // Forgets the section in progress and the continuity counter.
    void reset();
    std::uint64_t crcErrors() const { return crcErrors_; }

private:
    enum class Progress { NeedMore, Done, Invalid };

    bool continues(const std::uint8_t* packet);
    void readPayloadUnitStart(const std::uint8_t* packet, const std::uint8_t* from,
                              const std::uint8_t* end);
    void begin(const std::uint8_t* packet);
    void keepPacket(const std::uint8_t* packet);
    // Takes up to `length` bytes for the section in progress and says how many in `taken`.
    Progress append(const std::uint8_t* from, std::int32_t length, std::int32_t& taken);
    Progress finish();

    Handler handler_;
    std::array<std::uint8_t, kMaxSectionSize> section_{};
    std::int32_t filled_ = 0;
    std::int32_t size_ = 0; // known once the 3 header bytes are in
    bool active_ = false;
    std::array<std::uint8_t, kMaxPackets * kTsPacketSize> packets_{};
    std::int32_t packetCount_ = 0;
    bool tooManyPackets_ = false;
    std::int32_t lastCounter_ = -1;
    std::uint64_t crcErrors_ = 0;
};

} // namespace vandra
