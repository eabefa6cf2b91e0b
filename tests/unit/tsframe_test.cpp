#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "tools/tsframe.h"

namespace vandra::tsframe {
namespace {

using Packet = std::array<std::uint8_t, kPacketSize>;

Packet makePacket(std::uint64_t seq, std::uint64_t timestampUs) {
    Packet packet{};
    fillPacket(packet, seq, timestampUs);
    return packet;
}

TEST(TsFrameRoundTrip, VerifyReturnsWhatWasFilledPacketByPacket) {
    const std::uint64_t seqs[] = {0, 1, 255, 256, 1'000'000, UINT64_MAX - 1, UINT64_MAX};
    const std::uint64_t stamps[] = {0, 123'456'789, UINT64_MAX};
    for (const std::uint64_t seq : seqs) {
        for (const std::uint64_t stamp : stamps) {
            const Verdict verdict = verifyPacket(makePacket(seq, stamp));
            ASSERT_TRUE(verdict.ok()) << "seq " << seq << ": " << faultName(verdict.fault);
            EXPECT_EQ(verdict.seq, seq);
            EXPECT_EQ(verdict.timestampUs, stamp);
        }
    }
    // A datagram's worth in a buffer with room to spare: consecutive numbers, the tail left.
    std::vector<std::uint8_t> datagram(kDatagramSize + 10, 0xAB);
    const std::size_t written = fillPackets(datagram, 500, 77);
    ASSERT_EQ(written, kPacketsPerDatagram);
    for (std::size_t i = 0; i < written; ++i) {
        const Verdict verdict = verifyPacket(
            std::span<const std::uint8_t>(datagram).subspan(i * kPacketSize).first<kPacketSize>());
        ASSERT_TRUE(verdict.ok()) << "packet " << i;
        EXPECT_EQ(verdict.seq, 500 + i);
        EXPECT_EQ(verdict.timestampUs, 77u);
    }
    for (std::size_t i = kDatagramSize; i < datagram.size(); ++i) {
        EXPECT_EQ(datagram[i], 0xAB) << "byte " << i << " beyond the last whole packet";
    }
}

// Each damage as {byte, new value, fault}: PID 0x0101, payload unit start, the counter of a
// different packet, an adaptation field.
TEST(TsFrameCorruption, NamedFaultsForHeaderDamage) {
    const struct {
        std::size_t byte;
        std::uint8_t value;
        Fault fault;
    } damages[] = {{0, 0x48, Fault::BadSync},
                   {2, 0x01, Fault::BadPid},
                   {1, 0x41, Fault::BadHeader},
                   {3, 0x1a, Fault::BadHeader},
                   {3, 0x39, Fault::BadHeader}};
    for (const auto& damage : damages) {
        Packet packet = makePacket(9, 1000);
        packet[damage.byte] = damage.value;
        EXPECT_EQ(verifyPacket(packet).fault, damage.fault) << "byte " << damage.byte;
    }
}

TEST(TsFrameCorruption, EverySingleBitFlipIsDetected) {
    const Packet good = makePacket(0xfedc'ba98'7654'3210ULL, 987'654'321);
    for (std::size_t byte = 0; byte < kPacketSize; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Packet packet = good;
            packet[byte] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_FALSE(verifyPacket(packet).ok()) << "bit " << bit << " of byte " << byte;
        }
    }
}

TEST(TsFrameCorruption, PacketOfAnotherSeqIsNotMistakenForValid) {
    // Splicing: the header of one packet with the payload of its neighbour.
    Packet spliced = makePacket(16, 100);
    const Packet other = makePacket(17, 100);
    std::copy(other.begin() + kHeaderSize, other.end(), spliced.begin() + kHeaderSize);
    EXPECT_FALSE(verifyPacket(spliced).ok());
}

TEST(SequenceTracker, GapsCountMissingSeqsAndBackwardsCountsAsDuplicate) {
    SequenceTracker tracker;
    EXPECT_FALSE(tracker.started());
    tracker.observe(10);
    EXPECT_TRUE(tracker.started());
    tracker.observe(11);
    tracker.observe(15); // 12, 13, 14 missing
    tracker.observe(15); // repeated
    tracker.observe(13); // late: reordering is a fault in live delivery
    tracker.observe(16);
    tracker.observe(20); // 17, 18, 19 missing
    EXPECT_EQ(tracker.first(), 10u);
    EXPECT_EQ(tracker.last(), 20u);
    EXPECT_EQ(tracker.gaps(), 6u);
    EXPECT_EQ(tracker.duplicates(), 2u);
}

} // namespace
} // namespace vandra::tsframe
