// The transport-stream units over real streams made by ffmpeg: what a headend's encoder and
// multiplexer produce, rather than what the synthetic tests assume they do.
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "ingest/gopcache.h"
#include "ingest/randomaccess.h"
#include "ingest/tsinspector.h"
#include "ingest/tspacket.h"

namespace vandra {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr int kSeconds = 6;
constexpr int kFramesPerSecond = 25;
constexpr int kGopFrames = 25;
constexpr int kKeyFrames = kSeconds * kFramesPerSecond / kGopFrames;

// Runs a shell command (bounded by `timeout`) and returns its standard output; `status` gets
// the exit status.
std::string run(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = ::popen(("timeout 120 " + command).c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    std::array<char, 4096> buffer{};
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        output.append(buffer.data(), n);
    }
    status = ::pclose(pipe);
    return output;
}

struct Codec {
    const char* name;
    const char* encoder;
    VideoCodec codec;
    // x264 writes a long SEI (its version and settings) before the first IDR only, which
    // pushes that IDR past the PES packet's first TS packet, the only one read without the
    // indicator.
    bool firstKeyFrameLate;
};

// Names the case in test listings instead of its bytes.
void PrintTo(const Codec& codec, std::ostream* out) {
    *out << codec.name;
}

// x265's informational SEI (on by default, repeated with the headers at every IRAP) pushes the
// picture past the first TS packet too: off here, so that the fallback can be checked on HEVC.
std::string encodeCommand(const Codec& codec, const fs::path& file) {
    return "ffmpeg -v error -nostdin -y -f lavfi -i testsrc=size=320x240:rate=" +
           std::to_string(kFramesPerSecond) +
           " -f lavfi -i sine=frequency=1000:sample_rate=48000 -t " + std::to_string(kSeconds) +
           " -c:v " + codec.encoder + " -g " + std::to_string(kGopFrames) +
           " -x265-params log-level=none:info=0 -c:a mp2 -f mpegts " + file.string() + " 2>&1";
}

class RealStreamTest : public ::testing::TestWithParam<Codec> {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("tsstream_test_" + std::to_string(::getpid()));
        fs::create_directories(folder_);
        int status = 0;
        const std::string encoders = run("ffmpeg -hide_banner -encoders 2>/dev/null", status);
        if (status != 0 || encoders.find(GetParam().encoder) == std::string::npos) {
            GTEST_SKIP() << "ffmpeg without " << GetParam().encoder;
        }
        const fs::path file = folder_ / "input.ts";
        run(encodeCommand(GetParam(), file), status);
        ASSERT_EQ(status, 0) << "ffmpeg failed";
        std::ifstream in(file, std::ios::binary);
        stream_.assign(std::istreambuf_iterator<char>(in), {});
        ASSERT_EQ(stream_.size() % kTsPacketSize, 0u);
        ASSERT_GT(stream_.size(), 100u * kChunkSize);
        stream_.resize(stream_.size() / kChunkSize * kChunkSize); // whole chunks, as received
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::size_t chunks() const { return stream_.size() / kChunkSize; }
    const std::uint8_t* chunk(std::size_t index) const {
        return stream_.data() + index * kChunkSize;
    }

    // Packet indices of the key frames found, and by which sign.
    std::vector<std::size_t> keyPackets(RandomAccess sign) const {
        ProgramTables tables;
        std::vector<std::size_t> found;
        for (std::size_t at = 0; at < stream_.size(); at += kTsPacketSize) {
            tables.feedPacket(stream_.data() + at);
            if (classifyRandomAccess(stream_.data() + at, tables.videoPid(), tables.videoCodec()) ==
                sign) {
                found.push_back(at / kTsPacketSize);
            }
        }
        return found;
    }

    void stripRandomAccessIndicators() {
        for (std::size_t at = 0; at < stream_.size(); at += kTsPacketSize) {
            std::uint8_t* packet = stream_.data() + at;
            if (ts::randomAccessIndicator(packet)) {
                packet[5] &= static_cast<std::uint8_t>(~0x40);
            }
        }
    }

    // The picture types ffprobe decodes from `bytes`, one a line.
    std::string pictureTypes(const Bytes& bytes, const std::string& name) const {
        const fs::path file = folder_ / name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        int status = 0;
        const std::string types = run("ffprobe -v error -select_streams v -show_entries "
                                      "frame=pict_type -of default=nw=1:nk=1 " +
                                          file.string() + " 2>&1",
                                      status);
        EXPECT_EQ(status, 0) << types;
        return types;
    }

    fs::path folder_;
    Bytes stream_;
};

// Clean health, the right tables, key frames at the GOP interval with and without the
// indicator, and what a new caller would get at the end of the stream decodes from its first
// chunk: the last GOP from its key frame on, without a continuity jump.
TEST_P(RealStreamTest, HealthTablesKeyFramesAndADecodableSnapshot) {
    TsInspector inspector;
    ProgramTables tables;
    for (std::size_t i = 0; i < chunks(); ++i) {
        inspector.inspectChunk(chunk(i));
        tables.feedChunk(chunk(i));
    }
    EXPECT_EQ(inspector.syncErrors(), 0u);
    EXPECT_EQ(inspector.continuityErrors(), 0u);
    EXPECT_EQ(tables.crcErrors(), 0u);
    EXPECT_EQ(tables.videoPid(), 0x100);
    EXPECT_EQ(tables.videoCodec(), GetParam().codec);

    const std::vector<std::size_t> byIndicator = keyPackets(RandomAccess::Indicator);
    EXPECT_EQ(byIndicator.size(), static_cast<std::size_t>(kKeyFrames));
    stripRandomAccessIndicators();
    EXPECT_TRUE(keyPackets(RandomAccess::Indicator).empty());
    const std::vector<std::size_t> expected(
        byIndicator.begin() + (GetParam().firstKeyFrameLate ? 1 : 0), byIndicator.end());
    EXPECT_EQ(keyPackets(RandomAccess::Picture), expected)
        << "the pictures must be found where the indicator was";

    GopCache cache;
    for (std::size_t i = 0; i < chunks(); ++i) {
        cache.push(chunk(i), 10 * static_cast<std::int64_t>(i));
    }
    Bytes snapshot;
    ASSERT_GT(cache.snapshot(10 * static_cast<std::int64_t>(chunks()), snapshot), 1);
    TsInspector snapshotInspector;
    for (std::size_t at = 0; at < snapshot.size(); at += kChunkSize) {
        snapshotInspector.inspectChunk(snapshot.data() + at);
    }
    EXPECT_EQ(snapshotInspector.continuityErrors(), 0u);

    const std::string types = pictureTypes(snapshot, "snapshot.ts");
    EXPECT_EQ(types.substr(0, 2), "I\n") << "the first decoded frame is the key frame";
    EXPECT_EQ(types.find_first_not_of("IPB\n"), std::string::npos) << types;
    // Every frame of the last GOP (the input may end inside it), none missing.
    const std::string all = pictureTypes(stream_, "whole.ts");
    EXPECT_EQ(std::count(types.begin(), types.end(), '\n'),
              std::count(all.begin(), all.end(), '\n') - (kKeyFrames - 1) * kGopFrames);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RealStreamTest,
                         ::testing::Values(Codec{"H264", "libx264", VideoCodec::H264, true},
                                           Codec{"HEVC", "libx265", VideoCodec::Hevc, false},
                                           Codec{"MPEG2", "mpeg2video", VideoCodec::Mpeg2, false}),
                         [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace vandra
