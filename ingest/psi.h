#pragma once

#include <cstdint>

#include "ingest/sectionassembler.h"
#include "ingest/tspacket.h"

// Reading the long-form PSI sections a SectionAssembler hands on (PAT, PMT, SDT). Every function
// stays inside the section's bytes whatever its fields say.
namespace vandra::psi {

inline constexpr std::uint8_t kPatTableId = 0x00;
inline constexpr std::uint8_t kPmtTableId = 0x02;
inline constexpr std::uint8_t kSdtActualTableId = 0x42;
inline constexpr std::uint16_t kSdtPid = 0x0011;
inline constexpr std::int32_t kLongHeaderSize = 8; // table_id to last_section_number
inline constexpr std::int32_t kCrcSize = 4;

inline std::uint16_t read16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}
inline std::uint16_t read13(const std::uint8_t* at) {
    return static_cast<std::uint16_t>((at[0] & 0x1F) << 8 | at[1]);
}
inline std::int32_t read12(const std::uint8_t* at) {
    return (at[0] & 0x0F) << 8 | at[1];
}

// A section of `tableId` that applies now (current_next_indicator 1).
inline bool isCurrent(const SectionAssembler::Section& section, std::uint8_t tableId) {
    return section.size >= kLongHeaderSize + kCrcSize && section.bytes[0] == tableId &&
           (section.bytes[5] & 0x01) != 0;
}
// transport_stream_id of a PAT, program_number of a PMT, service... of the section.
inline std::uint16_t tableIdExtension(const SectionAssembler::Section& section) {
    return read16(section.bytes + 3);
}
inline std::uint8_t sectionNumber(const SectionAssembler::Section& section) {
    return section.bytes[6];
}
inline std::uint8_t lastSectionNumber(const SectionAssembler::Section& section) {
    return section.bytes[7];
}
// PIDs below 0x0010 carry other tables; the null PID carries nothing.
inline bool isStreamPid(std::uint16_t pid) {
    return pid >= 0x0010 && pid != ts::kNullPid;
}

// Calls fn(programNumber, pmtPid) for every programme of a PAT section, the network PID
// (programme 0) left out.
template <typename Fn> void forEachPatProgram(const SectionAssembler::Section& section, Fn&& fn) {
    const std::int32_t loopEnd = section.size - kCrcSize;
    for (std::int32_t at = kLongHeaderSize; at + 4 <= loopEnd; at += 4) {
        const std::uint16_t number = read16(section.bytes + at);
        if (number != 0) {
            fn(number, read13(section.bytes + at + 2));
        }
    }
}

// Calls fn(streamType, pid) for every elementary stream of a PMT section.
template <typename Fn> void forEachPmtStream(const SectionAssembler::Section& section, Fn&& fn) {
    const std::uint8_t* bytes = section.bytes;
    const std::int32_t loopEnd = section.size - kCrcSize;
    if (kLongHeaderSize + 4 > loopEnd) {
        return;
    }
    for (std::int32_t at = kLongHeaderSize + 4 + read12(bytes + kLongHeaderSize + 2);
         at + 5 <= loopEnd; at += 5 + read12(bytes + at + 3)) {
        fn(bytes[at], read13(bytes + at + 1));
    }
}

// The PCR_PID of a PMT section, kNullPid when it is too short to have one.
inline std::uint16_t pmtPcrPid(const SectionAssembler::Section& section) {
    return section.size >= kLongHeaderSize + 2 + kCrcSize ? read13(section.bytes + kLongHeaderSize)
                                                          : ts::kNullPid;
}

} // namespace vandra::psi
