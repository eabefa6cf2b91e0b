#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ingest/programcatalog.h"
#include "ingest/programfilter.h"
#include "tsbuilder.h"

namespace vandra {
namespace {

using test::Bytes;

// Two programmes, each with its own PMT, video (also its PCR) and audio PID.
constexpr std::uint16_t kPmt1 = 0x1000, kVideo1 = 0x100, kAudio1 = 0x101;
constexpr std::uint16_t kPmt2 = 0x1001, kVideo2 = 0x200, kAudio2 = 0x201, kNewAudio2 = 0x202;

Bytes pmt(std::uint16_t program, std::uint16_t pcr, const std::vector<std::uint16_t>& audio,
          std::uint8_t version = 0) {
    const auto pcrHigh = static_cast<std::uint8_t>(0xE0 | pcr >> 8);
    const auto pcrLow = static_cast<std::uint8_t>(pcr & 0xFF);
    // PCR_PID, no descriptors, then the video (H.264) on the PCR's PID.
    Bytes body{pcrHigh, pcrLow, 0xF0, 0x00, 0x1B, pcrHigh, pcrLow, 0xF0, 0x00};
    for (const std::uint16_t pid : audio) {
        body.insert(body.end(), {0x0F, static_cast<std::uint8_t>(0xE0 | pid >> 8),
                                 static_cast<std::uint8_t>(pid & 0xFF), 0xF0, 0x00});
    }
    return test::section(0x02, program, version, body);
}

// Numbered packets: the payload says which round and PID, so a reorder or a loss shows.
void round(test::StreamWriter& ts, int number, const std::vector<std::uint16_t>& pids) {
    for (const std::uint16_t pid : pids) {
        ts.packet(pid, {static_cast<std::uint8_t>(number >> 8),
                        static_cast<std::uint8_t>(number & 0xFF), static_cast<std::uint8_t>(pid)});
    }
}

struct Output {
    std::vector<Bytes> packets; // every packet of every message, in order
    std::size_t messages = 0;
};

ProgramFilter filterInto(std::uint16_t program, Output& out) {
    return ProgramFilter(program, [&out](const std::uint8_t* message) {
        ++out.messages;
        for (std::int32_t at = 0; at < kChunkSize; at += kTsPacketSize) {
            out.packets.emplace_back(message + at, message + at + kTsPacketSize);
        }
    });
}

std::uint16_t pidOf(const Bytes& packet) {
    return static_cast<std::uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}

// The section of a one-packet PAT, checked: a valid CRC and the pointer_field 0 we write.
Bytes patOf(const Bytes& packet) {
    EXPECT_EQ(packet[4], 0);
    const std::size_t length = 3 + ((packet[6] & 0x0F) << 8 | packet[7]);
    const Bytes section(packet.begin() + 5, packet.begin() + 5 + static_cast<long>(length));
    EXPECT_EQ(test::bitwiseCrc32(section), 0u) << "PAT CRC_32";
    return section;
}

void feedAll(ProgramFilter& filter, const test::StreamWriter& ts, std::int64_t nowMs) {
    for (std::size_t i = 0; i < ts.chunks(); ++i) {
        filter.feedChunk(ts.chunk(i), nowMs);
    }
}

TEST(ProgramFilter, PassesOneProgrammeUnchangedInOrderWithItsOwnPat) {
    test::StreamWriter ts;
    for (int number = 0; number < 40; ++number) {
        if (number % 10 == 0) {
            ts.table(0, test::patSection({{1, kPmt1}, {2, kPmt2}}, 5));
            ts.table(kPmt1, pmt(1, kVideo1, {kAudio1}));
            ts.table(kPmt2, pmt(2, kVideo2, {kAudio2}));
            ts.table(0x11, Bytes{0x42, 0xF0, 0x05}); // an SDT's start: not for the programme
        }
        round(ts, number, {kVideo1, kVideo2, kAudio1, 0x1FFF, kAudio2, kVideo2});
    }
    ts.padChunk();
    Output out;
    ProgramFilter filter = filterInto(2, out);
    feedAll(filter, ts, 100);

    std::vector<Bytes> expected;
    for (std::size_t i = 0; i < ts.bytes().size() / kTsPacketSize; ++i) {
        const Bytes packet(ts.packetAt(i), ts.packetAt(i) + kTsPacketSize);
        if (const std::uint16_t pid = pidOf(packet);
            pid == kPmt2 || pid == kVideo2 || pid == kAudio2) {
            expected.push_back(packet);
        }
    }
    const std::size_t waiting = (expected.size() + 4) % kPacketsPerChunk; // 4 PATs
    EXPECT_EQ(out.packets.size(), expected.size() + 4 - waiting) << "only whole messages yet";
    filter.tick(100 + ProgramFilter::kMaxWaitMs);
    EXPECT_EQ(filter.nullPacketsAdded(), waiting == 0 ? 0u : kPacketsPerChunk - waiting);

    std::vector<Bytes> passed;
    int pats = 0;
    for (const Bytes& packet : out.packets) {
        const std::uint16_t pid = pidOf(packet);
        if (pid == 0) {
            const Bytes pat = patOf(packet);
            EXPECT_EQ(pat, test::patSection({{2, kPmt2}}, 5)) << "only programme 2, same tsid";
            EXPECT_EQ(packet[3] & 0x0F, pats++ & 0x0F) << "its own continuity counter";
        } else if (pid != 0x1FFF) {
            passed.push_back(packet);
        }
    }
    EXPECT_EQ(pats, 4);
    // Byte-identical, none missing, none reordered, none leaked (compared whole: a dump of
    // every packet would bury the message).
    EXPECT_TRUE(passed == expected) << passed.size() << " packets passed of " << expected.size();
    EXPECT_EQ(filter.pcrPid(), kVideo2);
    ASSERT_EQ(filter.streams().size(), 2u);
    EXPECT_EQ(filter.streams()[1].pid, kAudio2);
    EXPECT_EQ(filter.streams()[1].type, 0x0F);
}

TEST(ProgramFilter, FollowsANewPmtAndStopsWhileThePatLacksTheProgramme) {
    test::StreamWriter ts;
    ts.table(0, test::patSection({{1, kPmt1}, {2, kPmt2}}));
    ts.table(kPmt1, pmt(1, kVideo1, {kAudio1}));
    ts.table(kPmt2, pmt(2, kVideo2, {kAudio2}));
    round(ts, 0, {kNewAudio2, kVideo2}); // not in the PMT yet
    ts.table(kPmt2, pmt(2, kVideo2, {kAudio2, kNewAudio2}, 1));
    round(ts, 1, {kNewAudio2, kVideo2});            // from here on it is
    ts.table(0, test::patSection({{1, kPmt1}}, 1)); // programme 2 leaves
    round(ts, 2, {kVideo2, kAudio2, kVideo1});
    ts.padChunk();
    Output out;
    ProgramFilter filter = filterInto(2, out);
    Output other;
    ProgramFilter programme1 = filterInto(1, other);
    feedAll(filter, ts, 0);
    feedAll(programme1, ts, 0);
    filter.tick(50);
    programme1.tick(50);

    std::vector<std::pair<std::uint16_t, int>> seen; // PID and round of the numbered packets
    for (const Bytes& packet : out.packets) {
        if (const std::uint16_t pid = pidOf(packet); pid >= kVideo2 && pid <= kNewAudio2) {
            seen.emplace_back(pid, packet[4] << 8 | packet[5]);
        }
    }
    const std::vector<std::pair<std::uint16_t, int>> expected{
        {kVideo2, 0}, {kNewAudio2, 1}, {kVideo2, 1}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(filter.presence(), ProgramFilter::Presence::Gone);
    EXPECT_EQ(filter.pmtPid(), ProgramFilter::kNoPid);
    EXPECT_EQ(programme1.presence(), ProgramFilter::Presence::Listed) << "others untouched";
    EXPECT_TRUE(std::any_of(other.packets.begin(), other.packets.end(),
                            [](const Bytes& packet) { return pidOf(packet) == kVideo1; }));

    test::StreamWriter back; // the PAT lists it again: it passes again
    back.table(0, test::patSection({{1, kPmt1}, {2, kPmt2}}, 2));
    back.table(kPmt2, pmt(2, kVideo2, {kAudio2}, 2));
    round(back, 3, {kVideo2});
    back.padChunk();
    feedAll(filter, back, 60);
    filter.tick(70);
    EXPECT_EQ(filter.presence(), ProgramFilter::Presence::Listed);
    EXPECT_EQ(out.packets[out.packets.size() - 5][5], 3) << "round 3's packet after PAT, PMT";
}

TEST(ProgramFilter, APacketWaitsForCompanyNoLongerThanTheLimit) {
    test::StreamWriter ts;
    ts.table(0, test::patSection({{7, kPmt2}}));
    ts.padChunk();
    Output out;
    ProgramFilter filter = filterInto(7, out);
    feedAll(filter, ts, 1000);
    filter.tick(1000 + ProgramFilter::kMaxWaitMs - 1);
    EXPECT_EQ(out.messages, 0u);
    filter.tick(1000 + ProgramFilter::kMaxWaitMs);
    ASSERT_EQ(out.messages, 1u);
    EXPECT_EQ(pidOf(out.packets[0]), 0);
    EXPECT_EQ(filter.nullPacketsAdded(), 6u);
}

TEST(ProgramCatalog, ResolvesListedNumbersAndServiceNamesOnly) {
    ProgramCatalog catalog;
    EXPECT_FALSE(catalog.listing()->hasPat);
    EXPECT_FALSE(catalog.resolve("1"));
    test::StreamWriter ts;
    ts.table(0, test::patSection({{1, kPmt1}, {2, kPmt2}}));
    // service 2: descriptor 0x48, type 1, provider "P", name "News" after a table selector
    const Bytes service{0x00, 0x02, 0xFC, 0x80, 0x0B, 0x48, 0x09, 0x01,
                        0x01, 'P',  0x05, 0x15, 'N',  'e',  'w',  's'};
    Bytes body{0x00, 0x01, 0xFF};
    body.insert(body.end(), service.begin(), service.end());
    ts.table(0x11, test::section(0x42, 1, 0, body));
    ts.padChunk();
    for (std::size_t i = 0; i < ts.chunks(); ++i) {
        catalog.feedChunk(ts.chunk(i));
    }
    EXPECT_EQ(catalog.resolve("1"), 1);
    EXPECT_EQ(catalog.resolve("2"), 2);
    EXPECT_EQ(catalog.resolve("News"), 2);
    for (const char* missing : {"3", "0", "", "news", "P", "2x", "-1"}) {
        EXPECT_FALSE(catalog.resolve(missing)) << missing;
    }
    ASSERT_EQ(catalog.listing()->programs.size(), 2u);
    EXPECT_EQ(catalog.listing()->programs[1].pmtPid, kPmt2);
}

} // namespace
} // namespace vandra
