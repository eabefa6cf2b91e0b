#include <gtest/gtest.h>

#include "ingest/randomaccess.h"
#include "tsbuilder.h"

namespace vandra {
namespace {

using test::Bytes;
using test::kVideoPid;
using test::PacketFlags;
using test::StreamWriter;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Annex B NAL units and MPEG-2 headers, each with its start code.
const Bytes kH264Aud{0, 0, 0, 1, 0x09, 0xF0};
const Bytes kH264Sps{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x1F, 0xAC};
const Bytes kH264Pps{0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80};
const Bytes kH264Sei{0, 0, 1, 0x06, 0x05, 0x02, 0x11, 0x22, 0x80};
const Bytes kH264Idr{0, 0, 1, 0x65, 0x88, 0x84};
const Bytes kH264Slice{0, 0, 1, 0x41, 0x9A};
const Bytes kHevcAud{0, 0, 0, 1, 0x46, 0x01, 0x50};
const Bytes kHevcParameterSets{0,    0,    1,    0x40, 0x01, 0x0C, 0,    0,    1,
                               0x42, 0x01, 0x01, 0,    0,    1,    0x44, 0x01, 0xC1};
const Bytes kHevcIdr{0, 0, 1, 0x26, 0x01, 0xAF};   // IDR_W_RADL (19)
const Bytes kHevcCra{0, 0, 1, 0x2A, 0x01, 0xAF};   // CRA (21)
const Bytes kHevcTrail{0, 0, 1, 0x02, 0x01, 0xD0}; // TRAIL_R (1)
const Bytes kMpegSequence{0, 0, 1, 0xB3, 0x14, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
const Bytes kMpegGop{0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x00};
const Bytes kMpegIPicture{0, 0, 1, 0x00, 0x00, 0x0F, 0xFF, 0xF8};
const Bytes kMpegPPicture{0, 0, 1, 0x00, 0x00, 0x57, 0xFF, 0xF8};

TEST(RandomAccess, IndicatorOrFirstAccessUnitOfAPesPacketDecides) {
    constexpr PacketFlags kStart{.unitStart = true};
    const auto pes = [](std::initializer_list<Bytes> parts) { return test::pes(concat(parts)); };
    struct Case {
        const char* what;
        VideoCodec codec;
        Bytes payload;
        PacketFlags flags;
        RandomAccess expected;
        std::uint16_t pid = kVideoPid;
    };
    const Case cases[] = {
        {"H.264 IDR after AUD, SPS, PPS, SEI", VideoCodec::H264,
         pes({kH264Aud, kH264Sps, kH264Pps, kH264Sei, kH264Idr}), kStart, RandomAccess::Picture},
        {"H.264 non-IDR slice first", VideoCodec::H264, pes({kH264Aud, kH264Slice, kH264Idr}),
         kStart, RandomAccess::None},
        {"H.264 IDR past the packet", VideoCodec::H264,
         pes({kH264Aud, kH264Sei, Bytes(200, 0x11), kH264Idr}), kStart, RandomAccess::None},
        {"HEVC IDR after AUD and parameter sets", VideoCodec::Hevc,
         pes({kHevcAud, kHevcParameterSets, kHevcIdr}), kStart, RandomAccess::Picture},
        {"HEVC CRA", VideoCodec::Hevc, pes({kHevcAud, kHevcCra}), kStart, RandomAccess::Picture},
        {"HEVC trailing picture", VideoCodec::Hevc, pes({kHevcAud, kHevcTrail}), kStart,
         RandomAccess::None},
        {"MPEG-2 I after sequence and GOP", VideoCodec::Mpeg2,
         pes({kMpegSequence, kMpegGop, kMpegIPicture}), kStart, RandomAccess::Picture},
        {"MPEG-2 P", VideoCodec::Mpeg2, pes({kMpegSequence, kMpegPPicture}), kStart,
         RandomAccess::None},
        {"H.264 bytes read as HEVC", VideoCodec::Hevc, pes({kH264Aud, kH264Idr}), kStart,
         RandomAccess::None},
        {"IDR bytes without a PES start",
         VideoCodec::H264,
         pes({kH264Idr}),
         {},
         RandomAccess::None},
        {"indicator without payload",
         VideoCodec::H264,
         {},
         {.payload = false, .randomAccess = true},
         RandomAccess::Indicator},
        {"indicator on another PID",
         VideoCodec::H264,
         pes({kH264Idr}),
         {.unitStart = true, .randomAccess = true},
         RandomAccess::None,
         0x101},
        {"scrambled with indicator",
         VideoCodec::H264,
         Bytes(10, 0x55),
         {.randomAccess = true, .scrambling = 2},
         RandomAccess::None},
        {"scrambled IDR",
         VideoCodec::H264,
         pes({kH264Idr}),
         {.unitStart = true, .scrambling = 3},
         RandomAccess::None},
    };
    for (const Case& c : cases) {
        StreamWriter writer;
        writer.packet(c.pid, c.payload, c.flags);
        EXPECT_EQ(classifyRandomAccess(writer.packetAt(0), kVideoPid, c.codec), c.expected)
            << c.what;
    }
}

TEST(RandomAccess, ChunkGivesTheIndexOfTheFirstKeyPacketOfTheTablesVideo) {
    ProgramTables tables;
    StreamWriter writer;
    writer.table(0, test::patSection({{1, 0x1000}}));
    writer.table(0x1000, test::pmtSection(1, {{0x1B, kVideoPid}}));
    writer.padChunk();
    writer.packet(0x101, test::pes(kH264Idr), {.unitStart = true}); // audio PID: not video
    writer.packet(kVideoPid, Bytes(20, 0x33));
    writer.packet(kVideoPid, test::pes(concat({kH264Aud, kH264Idr})), {.unitStart = true});
    writer.padChunk();
    EXPECT_EQ(findRandomAccess(writer.chunk(1), tables), -1) << "no tables yet";
    tables.feedChunk(writer.chunk(0));
    EXPECT_EQ(findRandomAccess(writer.chunk(0), tables), -1);
    EXPECT_EQ(findRandomAccess(writer.chunk(1), tables), 2);
}

} // namespace
} // namespace vandra
