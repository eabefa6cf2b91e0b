#include <gtest/gtest.h>

#include "ingest/programtables.h"
#include "tsbuilder.h"

namespace vandra {
namespace {

using test::Bytes;
using test::kPmtPid;
using test::kVideoPid;
using test::StreamWriter;

constexpr std::uint16_t kAudioPid = 0x101;
constexpr std::uint8_t kH264 = 0x1B;

class ProgramTablesTest : public ::testing::Test {
protected:
    void feed() {
        writer_.padChunk();
        for (; fed_ < writer_.chunks(); ++fed_) {
            tables_.feedChunk(writer_.chunk(fed_));
        }
    }
    void writeTables(std::uint8_t videoType = kH264, std::uint16_t videoPid = kVideoPid,
                     std::uint8_t pmtVersion = 0) {
        writer_.table(0, test::patSection({{0, 0x10}, {1, kPmtPid}}));
        writer_.table(kPmtPid,
                      test::pmtSection(1, {{0x0F, kAudioPid}, {videoType, videoPid}}, pmtVersion));
    }

    StreamWriter writer_;
    std::size_t fed_ = 0;
    ProgramTables tables_;
};

TEST_F(ProgramTablesTest, FindsTheVideoOfTheFirstProgrammeForEachCodec) {
    const std::pair<std::uint8_t, VideoCodec> types[] = {{0x01, VideoCodec::Mpeg1},
                                                         {0x02, VideoCodec::Mpeg2},
                                                         {0x1B, VideoCodec::H264},
                                                         {0x24, VideoCodec::Hevc}};
    for (const auto& [streamType, codec] : types) {
        ProgramTables tables;
        StreamWriter writer;
        // Another programme's PMT on the same PID must be passed over.
        writer.table(0, test::patSection({{0, 0x10}, {7, kPmtPid}}));
        writer.table(kPmtPid, test::pmtSection(7, {{0x0F, kAudioPid}, {streamType, 0x222}}));
        writer.table(kPmtPid, test::pmtSection(8, {{kH264, 0x300}}));
        writer.padChunk();
        tables.feedChunk(writer.chunk(0));
        EXPECT_EQ(tables.programNumber(), 7);
        EXPECT_EQ(tables.pmtPid(), kPmtPid);
        EXPECT_EQ(tables.videoPid(), 0x222) << videoCodecName(codec);
        EXPECT_EQ(tables.videoCodec(), codec);
        EXPECT_EQ(tables.videoStreamType(), streamType);
    }
}

TEST_F(ProgramTablesTest, ReassemblesSectionsAcrossPacketsAndAroundThePointerField) {
    writer_.table(0, test::patSection({{1, kPmtPid}}));
    // A PMT of three packets, then one of two whose end shares a packet with the next version.
    writer_.table(kPmtPid, test::pmtSection(1, {{kH264, 0x300, 400}}));
    feed();
    EXPECT_EQ(tables_.videoPid(), 0x300);

    const Bytes first = test::pmtSection(1, {{0x02, 0x301, 200}}, 1);
    const Bytes second = test::pmtSection(1, {{0x24, 0x302}}, 2);
    Bytes start{0};
    start.insert(start.end(), first.begin(), first.begin() + 183);
    writer_.packet(kPmtPid, start, {.unitStart = true});
    Bytes end{static_cast<std::uint8_t>(first.size() - 183)};
    end.insert(end.end(), first.begin() + 183, first.end());
    end.insert(end.end(), second.begin(), second.end());
    writer_.packet(kPmtPid, end, {.unitStart = true});
    const std::uint32_t before = tables_.generation();
    feed();
    EXPECT_EQ(tables_.videoPid(), 0x302);
    EXPECT_EQ(tables_.videoCodec(), VideoCodec::Hevc);
    EXPECT_EQ(tables_.generation(), before + 2) << "both sections were taken";
}

TEST_F(ProgramTablesTest, DamagedSectionsAreNotTaken) {
    const Bytes pmt = test::pmtSection(1, {{kH264, kVideoPid, 300}}); // two packets
    Bytes badCrc = pmt;
    badCrc[20] ^= 1;
    Bytes tooLong = pmt;
    tooLong[1] = 0xB3; // section_length 1022
    tooLong[2] = 0xFE;
    const Bytes next =
        test::section(0x02, 1, 0, {0xE1, 0, 0xF0, 0, kH264, 0xE1, 0, 0xF0, 0}, false);
    struct Damage {
        const char* what;
        Bytes section;
        std::uint8_t pointer;
        test::PacketFlags second; // of the packet that carries the rest
    };
    const Damage damages[] = {
        {"none", pmt, 0, {}}, // the control: found
        {"wrong CRC", badCrc, 0, {}},
        {"next, not current", next, 0, {}},
        {"section_length above 1021", tooLong, 0, {}},
        {"counter gap inside the section", pmt, 0, {.counter = 9}},
        {"scrambled", pmt, 0, {.scrambling = 2}},
        {"pointer_field past the payload", pmt, 184, {}},
    };
    for (const Damage& damage : damages) {
        ProgramTables tables;
        StreamWriter writer;
        writer.table(0, test::patSection({{1, kPmtPid}}));
        Bytes payload{damage.pointer};
        payload.insert(payload.end(), damage.section.begin(), damage.section.end());
        writer.packet(kPmtPid, payload, {.unitStart = true});
        if (payload.size() > 184) {
            writer.packet(kPmtPid, Bytes(payload.begin() + 184, payload.end()), damage.second);
        }
        writer.padChunk();
        tables.feedChunk(writer.chunk(0));
        EXPECT_EQ(tables.pmtPid(), kPmtPid) << damage.what;
        EXPECT_EQ(tables.videoPid(),
                  damage.what == damages[0].what ? kVideoPid : ProgramTables::kNoPid)
            << damage.what;
    }
}

TEST_F(ProgramTablesTest, FollowsNewTablesAndIgnoresRepeats) {
    writeTables();
    feed();
    const std::uint32_t first = tables_.generation();
    writeTables();
    feed();
    EXPECT_EQ(tables_.generation(), first) << "a repeat is no change";

    writeTables(0x24, 0x200, 1);
    feed();
    EXPECT_NE(tables_.generation(), first);
    EXPECT_EQ(tables_.videoPid(), 0x200);
    EXPECT_EQ(tables_.videoCodec(), VideoCodec::Hevc);

    writer_.table(0, test::patSection({{1, 0x1100}}, 1));
    writer_.table(kPmtPid, test::pmtSection(1, {{kH264, 0x400}}, 2)); // the old PID: ignored
    feed();
    EXPECT_EQ(tables_.pmtPid(), 0x1100);
    EXPECT_EQ(tables_.videoPid(), ProgramTables::kNoPid);
    writer_.table(0x1100, test::pmtSection(1, {{0x02, 0x500}}));
    feed();
    EXPECT_EQ(tables_.videoPid(), 0x500);
}

TEST_F(ProgramTablesTest, TableChunkHoldsTheLatestPacketsAsReceived) {
    std::array<std::uint8_t, kChunkSize> chunk{};
    EXPECT_EQ(tables_.buildTableChunk(chunk.data()), ProgramTables::TableChunk::NotKnown);
    writeTables();
    writeTables(); // the repeat carries counters 1: those are the latest packets
    writer_.padChunk();
    const Bytes latest(writer_.packetAt(2), writer_.packetAt(4));
    feed();
    ASSERT_EQ(tables_.buildTableChunk(chunk.data()), ProgramTables::TableChunk::Built);
    EXPECT_EQ(Bytes(chunk.begin(), chunk.begin() + 2 * kTsPacketSize), latest);
    for (int index = 2; index < kPacketsPerChunk; ++index) {
        const std::uint8_t* packet = chunk.data() + index * kTsPacketSize;
        EXPECT_EQ(packet[0], 0x47);
        EXPECT_EQ((packet[1] & 0x1F) << 8 | packet[2], 0x1FFF) << "null packet " << index;
    }

    // A PAT of two packets and a PMT of six do not fit in seven.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> programs;
    for (std::uint16_t number = 1; number <= 50; ++number) {
        programs.emplace_back(number, kPmtPid);
    }
    writer_.table(0, test::patSection(programs, 1));
    writer_.table(kPmtPid, test::pmtSection(1, {{kH264, kVideoPid, 990}}));
    feed();
    EXPECT_EQ(tables_.videoPid(), kVideoPid);
    EXPECT_EQ(tables_.buildTableChunk(chunk.data()), ProgramTables::TableChunk::TooLarge);
}

} // namespace
} // namespace vandra
