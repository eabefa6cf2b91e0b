#include <algorithm>
#include <csignal>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "netnamespace.h"

// Callers that cannot keep up, on links the tests shape in network namespaces or by not
// reading at all. Figures go to lines starting with "[figures]".
namespace vandra::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRemoveLine = "\nREMOVE  ";
constexpr const char* kFellBehindLine = "-- caller fell more than ";
// A backlog cap the tests' lagging callers reach in about two seconds at 20 Mbit/s, where the
// built-in one (33 MB) takes thirteen.
constexpr std::int64_t kBacklogCapBytes = 4 * 1024 * 1024;
const std::string kSmallBacklog =
    "VANDRA_TEST_MAX_BACKLOG_BYTES=" + std::to_string(kBacklogCapBytes);

// Guards: a lagging caller's backlog growing without bound (the server's memory with it), a
// stalled or throttled caller left connected, or either of them holding up the healthy ones.
TEST(ReliabilitySlowCallers, StalledAndThrottledCallersAreCutOffAndMemoryStaysBounded) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "needs root, iproute2 and tc for network namespaces";
    }
    // The throttled caller's link carries a fifth of the stream: 4 Mbit/s for 20 Mbit/s.
    const ShapedLink link("slow", 1, "4mbit");
    ASSERT_EQ(link.error, "");
    NamespacedServer server(link.serverSide(), "239.255.60.1", "127.0.0.1", {"latency=500"},
                            {kSmallBacklog});
    Process& serverProcess = *server.process;
    ASSERT_TRUE(serverProcess.waitForOutput("test override in effect", 1s))
        << serverProcess.output();
    const fs::path& dir = server.dir();
    // At 4 Mbit/s SRT itself drops what is too late to send, so a stalled caller never builds
    // a backlog; at 20 Mbit/s its send buffer fills and the backlog grows in the server.
    auto publisher = startTool("vandra-publisher",
                               publisherArgs("239.255.60.1", 5000, {"--bitrate", "20000000"}), dir,
                               link.serverSide().wrap());
    ASSERT_TRUE(serverProcess.waitForOutput("-- input format: ", 10s)) << serverProcess.output();
    const Footprint before = footprint(serverProcess.pid());

    // The healthy callers are stopped once the others are cut off; the times are upper bounds.
    auto healthy = startTool("vandra-loadclient", callerArgs("127.0.0.1", 9000, 2, 60), dir,
                             link.serverSide().wrap());
    auto stalled = startTool("vandra-loadclient",
                             callerArgs("127.0.0.1", 9000, 1, 60, {"--stall-after-ms", "2000"}),
                             dir, link.serverSide().wrap());
    auto slow = startTool("vandra-loadclient", callerArgs(link.serverAddress(), 9000, 1, 60), dir,
                          link.farSide().wrap());
    std::int64_t peakKb = before.rssKb;
    EXPECT_TRUE(waitUntil(
        [&] {
            peakKb = std::max(peakKb, footprint(serverProcess.pid()).rssKb);
            return serverProcess.countInOutput(kFellBehindLine) >= 2 || !serverProcess.running();
        },
        40s, 200ms))
        << serverProcess.output();
    const ToolRun stalledRun = finish(*stalled, 10s);
    const ToolRun slowRun = finish(*slow, 10s);
    ASSERT_TRUE(healthy->running()) << healthy->output();
    healthy->sendSignal(SIGTERM);
    const ToolRun healthyRun = finish(*healthy, 10s);
    ASSERT_TRUE(serverProcess.running()) << serverProcess.output();
    EXPECT_TRUE(serverProcess.waitForOutput(kRemoveLine, 10s, 4));
    const Footprint after = footprint(serverProcess.pid());

    expectLossless(healthyRun, 2, "healthy callers");
    // The stalled and the throttled caller are both cut off by the server, not by SRT.
    EXPECT_EQ(stalledRun.number("stalled"), 1u) << stalledRun.json;
    EXPECT_EQ(stalledRun.number("disconnected"), 1u) << stalledRun.output;
    EXPECT_EQ(slowRun.number("disconnected"), 1u) << slowRun.output;
    EXPECT_GT(slowRun.number("packets").value_or(0), 0u) << slowRun.json;
    EXPECT_EQ(serverProcess.countInOutput(kFellBehindLine), 2) << serverProcess.output();
    EXPECT_TRUE(contains(serverProcess.output(),
                         kFellBehindLine + std::to_string(kBacklogCapBytes) + " bytes"));

    // Each lagging caller holds at most the cap, plus one more while its buffer grows (the
    // old storage is copied into the new), plus SRT's own buffers.
    EXPECT_LE(peakKb, before.rssKb + 3 * kBacklogCapBytes / 1024 + 24 * 1024);
    EXPECT_LE(after.rssKb, before.rssKb + 20 * 1024);
    figure("slow/stalled: before " + describe(before) + ", peak " + std::to_string(peakKb / 1024) +
           " MiB, after " + describe(after));
    figure("slow/stalled: stalled " + stalledRun.json + "; throttled " + slowRun.json);
}

// A number in the receiving half of srt-live-transmit's last JSON statistics line; empty
// when there is none.
std::optional<std::uint64_t> receiveCounter(const fs::path& statsFile, const std::string& key) {
    std::ifstream in(statsFile);
    std::string last;
    for (std::string line; std::getline(in, line);) {
        if (contains(line, "\"recv\"")) {
            last = line;
        }
    }
    ToolRun stats;
    stats.json = last.substr(std::min(last.size(), last.find("\"recv\"")));
    return stats.number(key);
}

// Guards against a catch-up burst that a link only a little faster than the stream cannot
// carry: the caller would lose packets of the very GOP it was given to start with.
TEST(ReliabilityFastStart, CallerBehindALinkOfTwiceTheStreamRateGetsItsWholeFirstGop) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "needs root, iproute2 and tc for network namespaces";
    }
    // A 4 Mbit/s stream (constant rate: the muxer pads with null packets) over 8 Mbit/s.
    const ShapedLink link("fast", 2, "8mbit");
    ASSERT_EQ(link.error, "");
    NamespacedServer server(link.serverSide(), "239.255.61.1", "127.0.0.1",
                            {"latency=200", "faststart=1", "dump=1"});
    Process& serverProcess = *server.process;
    const fs::path& dir = server.dir();
    auto encoder = startEncoder("239.255.61.1", 5000,
                                {"-c:v", "libx264", "-preset", "ultrafast", "-g", "50", "-b:v",
                                 "3400k", "-maxrate", "3400k", "-bufsize", "1700k", "-x264-params",
                                 "nal-hrd=cbr", "-muxrate", "4000000"},
                                dir, link.serverSide().wrap());
    ASSERT_TRUE(serverProcess.waitForOutput("-- input format: ", 15s)) << serverProcess.output();
    // Pacing, not waiting: two-second GOPs, so the caller comes when the cache holds between
    // one and two seconds of the stream, a burst the narrow link must carry.
    std::this_thread::sleep_for(3s);
    auto caller = startFileCaller("srt://" + link.serverAddress() + ":9000?latency=200",
                                  dir / "slow.ts", 8, link.farSide().wrap());
    finish(*caller, 30s);
    EXPECT_TRUE(encoder->running()) << encoder->output();
    encoder->stop();
    ASSERT_TRUE(serverProcess.running()) << serverProcess.output();
    EXPECT_TRUE(serverProcess.waitForOutput(" chunks from the cache, caught up after ", 10s))
        << serverProcess.output();
    EXPECT_EQ(serverProcess.stop(), kSigterm);

    const FastStartView view =
        viewFastStart(readBytes(dir / "slow.ts"), readBytes(recordingIn(dir)));
    SCOPED_TRACE(view.text());
    EXPECT_TRUE(view.tablesFirst);
    EXPECT_GE(view.keyFramePacket, 0);
    EXPECT_TRUE(view.contiguous()) << "a packet missing or changed";
    EXPECT_GE(view.keyFrames, 3) << "not even the first GOP whole";
    EXPECT_EQ(serverProcess.countInOutput("; 0 packets dropped as too late"), 1)
        << serverProcess.output();
    EXPECT_EQ(receiveCounter(dir / "slow.ts.stats", "packetsDropped"), 0u);
    figure("fast start over 2x link: " + view.text());
}

} // namespace
} // namespace vandra::e2e
