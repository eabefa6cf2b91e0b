#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "webclient.h"

// Fast start with the real server: what a new caller receives first, and that it always gets
// a stream, on loopback.
namespace vandra::e2e {
namespace {

constexpr int kH264 = 0x1B;
constexpr int kMpeg2 = 0x02;
constexpr const char* kFromCache = "starts from the fast-start cache: ";
constexpr const char* kLive = "starts live: nothing in the fast-start cache";

constexpr int kCallerSeconds = 4;

// What /api/v1/status and /metrics say of the one connected caller once the server has decided
// how it starts (it logs that after setting the figure): its faststart_chunks, and its
// vandra_caller_faststart_chunks sample (-1: none). `decided`: such lines before this caller.
struct CallerFastStart {
    int status = -1;
    int metric = -1;
};

CallerFastStart reportedFastStart(const ServerFixture& server, int decided) {
    CallerFastStart seen;
    if (!waitUntil(
            [&] { return server.countInLog(kFromCache) + server.countInLog(kLive) > decided; },
            10s)) {
        return seen;
    }
    const Json status = waitForStatus(
        server.webPort, [](const Json& s) { return s["callers"].size() == 1; }, 10s);
    if (status["callers"].size() != 1) {
        return seen;
    }
    const Json& caller = status["callers"][0];
    seen.status = caller["faststart_chunks"].get<int>();
    seen.metric = static_cast<int>(
        metricOf(server.webPort, callerSeries("vandra_caller_faststart_chunks", caller))
            .value_or(-1));
    return seen;
}

// Guards against a caller left without a stream, or given a broken start, when the input has
// no programme tables to start from (it starts live and loses nothing); then against a gap or
// a duplicate where cache and live chunks meet, a start that is not the tables and a key frame,
// and tables of a stream that is no longer sent: the PMT names another video type halfway.
TEST(FastStart, CallersStartWithTheTablesAndAKeyFrameAndJoinLiveWithoutAGap) {
    ServerFixture server({"faststart=1", "dump=1", "latency=200"});
    auto publisher = server.startPublisher({"--bitrate", "2000000"});
    auto callers = server.startCallers(1, 3);
    const CallerFastStart live = reportedFastStart(server, 0);
    EXPECT_EQ(live.status, 0);
    EXPECT_EQ(live.metric, 0);
    expectLossless(finish(*callers, 30s), 1, "callers");
    publisher->stop();
    EXPECT_EQ(server.countInLog(kLive), 1) << server.log();
    EXPECT_EQ(server.countInLog(kFromCache), 0) << server.log();
    const std::string url = "srt://127.0.0.1:" + std::to_string(server.srtPort) + "?latency=200";
    struct Phase {
        const char* name;
        std::vector<std::string> codec;
        int streamType;
    };
    const std::vector<Phase> phases{
        {"h264", {"-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-b:v", "1M"}, kH264},
        {"mpeg2", {"-c:v", "mpeg2video", "-g", "25", "-b:v", "1M"}, kMpeg2}};
    for (const Phase& phase : phases) {
        const std::size_t recorded = readBytes(recordingIn(server.dir())).size();
        const std::size_t before = recorded - recorded % 188;
        auto encoder =
            startEncoder(server.source.group, server.source.port, phase.codec, server.dir());
        // The first key frame comes with the tables in its chunk, so the cache starts at the
        // second: once it is recorded, the cache holds this encoder's GOP.
        EXPECT_TRUE(waitUntil(
            [&] {
                const std::vector<std::uint8_t> bytes = readBytes(recordingIn(server.dir()));
                return keyFramesIn(bytes, before, bytes.size()) >= 2;
            },
            20s))
            << phase.name << encoder->output();
        const int decided = server.countInLog(kFromCache);
        auto caller =
            startFileCaller(url, server.dir() / (std::string(phase.name) + ".ts"), kCallerSeconds);
        const CallerFastStart reported = reportedFastStart(server, decided);
        EXPECT_GT(reported.status, 0) << phase.name;
        EXPECT_EQ(reported.metric, reported.status) << phase.name;
        EXPECT_TRUE(server.waitForLog(kFromCache + std::to_string(reported.status) + " chunks", 2s))
            << server.log();
        finish(*caller, 20s);
        EXPECT_TRUE(encoder->running()) << encoder->output();
        encoder->stop();
    }
    server.expectCleanStop();
    EXPECT_EQ(server.countInLog(kFromCache), 2) << server.log();
    EXPECT_EQ(server.countInLog(" chunks from the cache, caught up after "), 2) << server.log();

    const std::vector<std::uint8_t> recording = readBytes(recordingIn(server.dir()));
    ASSERT_FALSE(recording.empty());
    for (const Phase& phase : phases) {
        const FastStartView view =
            viewFastStart(readBytes(server.dir() / (std::string(phase.name) + ".ts")), recording);
        SCOPED_TRACE(std::string(phase.name) + ": " + view.text());
        EXPECT_TRUE(view.tablesFirst);
        EXPECT_EQ(view.videoStreamType, phase.streamType);
        EXPECT_GE(view.keyFramePacket, 0);
        EXPECT_TRUE(view.contiguous());
        // A second of GOP and four seconds of calling: the first GOP and more, whole.
        EXPECT_GE(view.keyFrames, 3);
    }
}

} // namespace
} // namespace vandra::e2e
