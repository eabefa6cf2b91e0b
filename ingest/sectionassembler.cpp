#include "ingest/sectionassembler.h"

#include <algorithm>
#include <cstring>

#include "ingest/tspacket.h"

namespace vandra {

namespace {

constexpr std::uint8_t kStuffing = 0xFF;
constexpr std::int32_t kHeaderBytes = 3;
// The long form's 5 bytes after section_length and the CRC_32.
constexpr std::int32_t kMinSectionLength = 9;

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
        table[i] = crc;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

} // namespace

std::uint32_t psiCrc32(const std::uint8_t* data, std::int32_t length) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::int32_t i = 0; i < length; ++i) {
        crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
    }
    return crc;
}

void SectionAssembler::reset() {
    active_ = false;
    lastCounter_ = -1;
}

void SectionAssembler::feed(const std::uint8_t* packet) {
    // PSI is never scrambled, and a packet with a transport error cannot be trusted.
    if (ts::transportError(packet) || ts::scrambling(packet) != 0) {
        reset();
        return;
    }
    if (!ts::hasPayloadFlag(packet) || !continues(packet)) {
        return;
    }
    const std::int32_t offset = ts::payloadOffset(packet);
    if (offset >= kTsPacketSize) {
        return;
    }
    const std::uint8_t* from = packet + offset;
    const std::uint8_t* end = packet + kTsPacketSize;
    if (ts::payloadUnitStart(packet)) {
        readPayloadUnitStart(packet, from, end);
        return;
    }
    if (active_) {
        keepPacket(packet);
        std::int32_t taken = 0;
        append(from, static_cast<std::int32_t>(end - from), taken);
    }
}

// False for a duplicate, which is skipped; a gap drops the section in progress.
bool SectionAssembler::continues(const std::uint8_t* packet) {
    const std::int32_t counter = ts::continuityCounter(packet);
    const bool known = lastCounter_ >= 0 && !ts::discontinuityIndicator(packet);
    if (known && counter == lastCounter_) {
        return false;
    }
    if (!known || counter != ((lastCounter_ + 1) & 0x0F)) {
        active_ = false;
    }
    lastCounter_ = counter;
    return true;
}

void SectionAssembler::readPayloadUnitStart(const std::uint8_t* packet, const std::uint8_t* from,
                                            const std::uint8_t* end) {
    const std::int32_t pointer = *from++;
    if (pointer > end - from) {
        active_ = false;
        return;
    }
    std::int32_t taken = 0;
    if (active_) {
        keepPacket(packet);
        // The bytes before the pointer end the section in progress, or it is broken.
        if (append(from, pointer, taken) == Progress::NeedMore) {
            active_ = false;
        }
    }
    from += pointer;
    while (from < end && *from != kStuffing) {
        begin(packet);
        if (append(from, static_cast<std::int32_t>(end - from), taken) != Progress::Done) {
            return;
        }
        from += taken;
    }
}

void SectionAssembler::begin(const std::uint8_t* packet) {
    active_ = true;
    filled_ = 0;
    size_ = 0;
    packetCount_ = 0;
    tooManyPackets_ = false;
    keepPacket(packet);
}

void SectionAssembler::keepPacket(const std::uint8_t* packet) {
    if (packetCount_ == kMaxPackets) {
        tooManyPackets_ = true;
        return;
    }
    std::memcpy(packets_.data() + packetCount_ * kTsPacketSize, packet, kTsPacketSize);
    ++packetCount_;
}

SectionAssembler::Progress SectionAssembler::append(const std::uint8_t* from, std::int32_t length,
                                                    std::int32_t& taken) {
    taken = 0;
    if (size_ == 0) {
        const std::int32_t headerPart = std::min(kHeaderBytes - filled_, length);
        std::memcpy(section_.data() + filled_, from, static_cast<size_t>(headerPart));
        filled_ += headerPart;
        taken = headerPart;
        if (filled_ < kHeaderBytes) {
            return Progress::NeedMore;
        }
        const bool longForm = (section_[1] & 0x80) != 0;
        const std::int32_t sectionLength = (section_[1] & 0x0F) << 8 | section_[2];
        if (!longForm || sectionLength < kMinSectionLength ||
            sectionLength > kMaxSectionSize - kHeaderBytes) {
            active_ = false;
            return Progress::Invalid;
        }
        size_ = kHeaderBytes + sectionLength;
    }
    const std::int32_t part = std::min(size_ - filled_, length - taken);
    std::memcpy(section_.data() + filled_, from + taken, static_cast<size_t>(part));
    filled_ += part;
    taken += part;
    return filled_ < size_ ? Progress::NeedMore : finish();
}

SectionAssembler::Progress SectionAssembler::finish() {
    active_ = false;
    if (psiCrc32(section_.data(), size_) != 0) {
        ++crcErrors_;
        return Progress::Invalid;
    }
    const bool packetsKept = !tooManyPackets_;
    handler_(Section{section_.data(), size_, packetsKept ? packets_.data() : nullptr,
                     packetsKept ? packetCount_ : 0});
    return Progress::Done;
}

} // namespace vandra
