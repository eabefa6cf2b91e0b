#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "ingest/rtppacket.h"
#include "ingest/rtpsequencer.h"

namespace vandra {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Error = RtpPacket::Error;

// An RTP datagram written field by field, independently of the parser.
struct Datagram {
    int version = 2;
    int csrcCount = 0;
    int extensionWords = -1; // -1: no extension
    int padding = 0;         // 0: no padding bit
    std::size_t payloadSize = kChunkSize;

    Bytes build() const {
        const auto first = static_cast<std::uint8_t>(version << 6 | (padding > 0 ? 0x20 : 0) |
                                                     (extensionWords >= 0 ? 0x10 : 0) | csrcCount);
        Bytes out{first, 0x80 | 33, 0xab, 0xcd, 1, 2, 3, 4, 0xde, 0xad, 0xbe, 0xef};
        out.resize(out.size() + 4 * csrcCount, 0xcc);
        if (extensionWords >= 0) {
            out.insert(out.end(), {0xbe, 0xde, static_cast<std::uint8_t>(extensionWords >> 8),
                                   static_cast<std::uint8_t>(extensionWords)});
            out.resize(out.size() + 4 * extensionWords, 0xee);
        }
        for (std::size_t i = 0; i < payloadSize; ++i) {
            out.push_back(i % kTsPacketSize == 0 ? 0x47 : static_cast<std::uint8_t>(i));
        }
        if (padding > 0) {
            out.resize(out.size() + padding - 1, 0);
            out.push_back(static_cast<std::uint8_t>(padding));
        }
        return out;
    }
};

Error parse(const Bytes& bytes) {
    RtpPacket packet;
    return packet.parse(bytes);
}

TEST(RtpPacket, OnlyVersionTwoIsRtp) {
    Bytes rawTs(kChunkSize, 0);
    rawTs[0] = 0x47;
    EXPECT_FALSE(RtpPacket::isRtp(rawTs));
    EXPECT_FALSE(RtpPacket::isRtp(Bytes{}));
    for (int version : {0, 1, 3}) {
        const Bytes bytes = Datagram{version}.build();
        EXPECT_FALSE(RtpPacket::isRtp(bytes)) << version;
        EXPECT_EQ(parse(bytes), Error::NotRtp) << version;
    }
    EXPECT_TRUE(RtpPacket::isRtp(Datagram{}.build()));
}

// Each prefix is copied into a buffer of its own size, so a read past it trips the sanitizer.
TEST(RtpPacket, EveryTruncationIsAnErrorAtItsField) {
    const Bytes full = Datagram{2, 3, 2, 4, kTsPacketSize}.build(); // header 12+12+4+8 = 36
    for (std::size_t length = 0; length < full.size(); ++length) {
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        const Error error = parse(prefix);
        SCOPED_TRACE(length);
        if (length == 0) {
            EXPECT_EQ(error, Error::NotRtp);
        } else if (length < 12) {
            EXPECT_EQ(error, Error::TruncatedHeader);
        } else if (length < 24) {
            EXPECT_EQ(error, Error::TruncatedCsrcList);
        } else if (length < 36) {
            EXPECT_EQ(error, Error::TruncatedExtension);
        } else {
            EXPECT_NE(error, Error::None);
        }
    }
    Bytes hugeExtension = Datagram{2, 0, 0}.build();
    hugeExtension[14] = hugeExtension[15] = 0xff; // 65535 words announced
    EXPECT_EQ(parse(hugeExtension), Error::TruncatedExtension);
}

TEST(RtpPacket, PaddingMustFitBehindTheHeaders) {
    Bytes bytes = Datagram{2, 0, -1, 8, kTsPacketSize}.build();
    EXPECT_EQ(parse(bytes), Error::None);
    bytes.back() = 0;
    EXPECT_EQ(parse(bytes), Error::BadPadding);
    bytes.back() = static_cast<std::uint8_t>(kTsPacketSize + 8);
    EXPECT_EQ(parse(bytes), Error::EmptyPayload);
    bytes.back() = static_cast<std::uint8_t>(kTsPacketSize + 9);
    EXPECT_EQ(parse(bytes), Error::BadPadding);
    // The padding bit on a datagram that ends with its headers has no count byte at all.
    Bytes headerOnly = Datagram{2, 1, 0, 0, 0}.build();
    headerOnly[0] |= 0x20;
    EXPECT_EQ(parse(headerOnly), Error::BadPadding);
}

// Sequencer: every payload carries its own number, so a delivery can be checked against it.
class RtpSequencerTest : public ::testing::Test {
protected:
    static constexpr std::uint32_t kSsrc = 7;

    void push(std::uint16_t sequence, std::int64_t nowMs = 0, std::uint32_t ssrc = kSsrc) {
        const Bytes payload{static_cast<std::uint8_t>(sequence >> 8),
                            static_cast<std::uint8_t>(sequence), 0x47};
        EXPECT_TRUE(sequencer_.push(sequence, ssrc, payload, nowMs));
    }
    void pushRange(int first, int last, std::int64_t nowMs = 0) {
        for (int n = first; n <= last; ++n) {
            push(static_cast<std::uint16_t>(n), nowMs);
        }
    }
    static std::vector<std::uint16_t> range(int first, int last) {
        std::vector<std::uint16_t> out;
        for (int n = first; n <= last; ++n) {
            out.push_back(static_cast<std::uint16_t>(n));
        }
        return out;
    }
    // delivered, lost, duplicates, reordered, late, restarts
    void expectCounters(std::vector<std::uint64_t> expected) const {
        const RtpSequencer::Counters& c = sequencer_.counters();
        EXPECT_EQ((std::vector<std::uint64_t>{c.delivered, c.lost, c.duplicates, c.reordered,
                                              c.late, c.restarts}),
                  expected);
    }

    std::vector<std::uint16_t> delivered_;
    RtpSequencer sequencer_{[this](std::uint16_t sequence, std::span<const std::uint8_t> bytes) {
        ASSERT_EQ(bytes.size(), 3u);
        EXPECT_EQ(bytes[0] << 8 | bytes[1], sequence) << "payload of another packet";
        delivered_.push_back(sequence);
    }};
};

TEST_F(RtpSequencerTest, GapIsGivenUpWhenItsFirstWaiterIsFiftyMsOld) {
    push(0, 0);
    push(1, 0);
    push(3, 10);
    push(4, 30);
    sequencer_.tick(59);
    EXPECT_EQ(delivered_, range(0, 1));
    EXPECT_EQ(sequencer_.waiting(), 2);
    sequencer_.tick(60);
    EXPECT_EQ(delivered_, (std::vector<std::uint16_t>{0, 1, 3, 4}));
    expectCounters({4, 1, 0, 0, 0, 0});
}

TEST_F(RtpSequencerTest, DuplicatesAreDroppedWhetherDeliveredOrWaiting) {
    pushRange(0, 1);
    push(1); // already delivered
    push(3); // waits for 2
    push(3); // already waiting
    push(2);
    push(0); // long delivered
    EXPECT_EQ(delivered_, range(0, 3));
    expectCounters({4, 0, 3, 1, 0, 0});
}

TEST_F(RtpSequencerTest, OutOfOrderPacketsArePutBackInPlace) {
    // A swap, then packet 10 held back behind 11..30: each counts one reordered packet.
    for (int n : {0, 2, 1, 3}) {
        push(static_cast<std::uint16_t>(n));
    }
    pushRange(4, 9);
    pushRange(11, 30);
    push(10);
    EXPECT_EQ(delivered_, range(0, 30));
    expectCounters({31, 0, 0, 2, 0, 0});
}

TEST_F(RtpSequencerTest, WindowOfThirtyTwoNumbersGivesUpTheOldestGaps) {
    push(0);
    pushRange(2, 32); // 31 waiting behind the gap at 1: still fits
    EXPECT_EQ(delivered_, range(0, 0));
    push(33);
    EXPECT_EQ(delivered_.size(), 33u);
    expectCounters({33, 1, 0, 0, 0, 0});

    push(80); // 46 missing: 15 given up now to fit, the other 31 when 80 is 50 ms old
    EXPECT_EQ(sequencer_.counters().lost, 1u + 15);
    sequencer_.tick(RtpSequencer::kWindowMs);
    EXPECT_EQ(delivered_.back(), 80);
    expectCounters({34, 47, 0, 0, 0, 0});
}

TEST_F(RtpSequencerTest, PacketAfterItsGapWasGivenUpIsLate) {
    // Past a full history, so that the number's slot there once held a delivered one.
    constexpr int gap = RtpSequencer::kMaxMisorder + 1;
    pushRange(0, gap - 1, 0);
    push(gap + 1, 0);
    sequencer_.tick(50);
    push(gap, 60);
    push(gap + 1, 60);
    EXPECT_EQ(delivered_.back(), gap + 1);
    expectCounters({gap + 1, 1, 1, 1, 1, 0});
}

TEST_F(RtpSequencerTest, NumbersWrapAroundAt65536) {
    pushRange(65530, 65534);
    for (int n : {0, 65535, 1, 3, 4, 5}) { // 65535 swapped across the wrap, 2 lost
        push(static_cast<std::uint16_t>(n));
    }
    sequencer_.tick(50);
    std::vector<std::uint16_t> expected = range(65530, 65535);
    for (std::uint16_t n : {0, 1, 3, 4, 5}) {
        expected.push_back(n);
    }
    EXPECT_EQ(delivered_, expected);
    expectCounters({11, 1, 0, 1, 0, 0});
}

TEST_F(RtpSequencerTest, NewSsrcStartsAStreamAfterFlushingTheOldOne) {
    pushRange(0, 4);
    push(6); // waits for 5
    push(40000, 1, kSsrc + 1);
    push(40001, 1, kSsrc + 1);
    EXPECT_EQ(delivered_, (std::vector<std::uint16_t>{0, 1, 2, 3, 4, 6, 40000, 40001}));
    expectCounters({8, 1, 0, 0, 0, 1});
}

TEST_F(RtpSequencerTest, JumpsRestartOnlyAfterALongGapOrBeyondTheLimits) {
    pushRange(0, 9, 0);
    push(10, 5000); // silence alone, next number: same stream
    push(500, 6000);
    push(501, 6000);
    expectCounters({13, 0, 0, 0, 0, 1});

    push(502 + RtpSequencer::kMaxDropout + 1, 6001); // too far ahead without a gap
    push(0, 6002);                                   // too far behind
    expectCounters({15, 0, 0, 0, 0, 3});

    push(100, 6003); // within the dropout limit: a loss, not a new stream
    sequencer_.tick(6003 + RtpSequencer::kWindowMs);
    expectCounters({16, 99, 0, 0, 0, 3});
    EXPECT_FALSE(sequencer_.push(101, kSsrc, Bytes(kChunkSize + 1), 6004));
}

} // namespace
} // namespace vandra
