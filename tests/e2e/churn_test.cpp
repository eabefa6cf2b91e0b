#include <csignal>
#include <string>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "harness.h"

// Callers that come and go by the hundred while a few stay: the real server and load clients
// on loopback. Figures go to lines starting with "[figures]".
namespace vandra::e2e {
namespace {

constexpr const char* kAcceptLine = "accept new client ";
constexpr const char* kRemoveLine = "\nREMOVE  ";
constexpr const char* kDeleteLine = "del client (try del thread)";
constexpr int kSteadyCallers = 5;
constexpr int kWaves = 6;
constexpr int kCleanPerWave = 15;
constexpr int kKilledPerWave = 10;

// Guards: a passing caller, whether it hangs up or is killed without a word, leaving a thread,
// a descriptor or memory behind, or disturbing the callers that stay; a taken web port ending
// the server, holding up its callers or being retried in a loop.
TEST(ReliabilityChurn, PassingCallersLeaveNoTraceAndSteadyOnesLoseNothing) {
    const Socket heldWebPort(SOCK_STREAM);
    ASSERT_TRUE(heldWebPort.bindLoopback() && ::listen(heldWebPort.fd(), 4) == 0);
    const std::string webPort = std::to_string(heldWebPort.localPort());
    ServerFixture server({"latency=500", "webport=" + webPort});
    const pid_t pid = server.process->pid();
    auto publisher = server.startPublisher({"--bitrate", "4000000"});
    ASSERT_TRUE(server.waitForLog("-- input format: ", 10s)) << server.log();
    const Footprint before = footprint(pid);
    ASSERT_GT(before.threads, 0);

    // Stopped once the churn is over; the time is only an upper bound.
    auto steady = server.startCallers(kSteadyCallers, 120);
    ASSERT_TRUE(server.waitForLog(kAcceptLine, 10s, kSteadyCallers));

    // Each wave: some callers watch a second and hang up; the others, streaming all that
    // time, are killed and never say goodbye, so the server learns only from SRT's timeout.
    Footprint peak = before;
    int churned = 0;
    for (int wave = 0; wave < kWaves; ++wave) {
        auto clean = server.startCallers(kCleanPerWave, 1);
        auto killed = server.startCallers(kKilledPerWave, 60);
        churned += kCleanPerWave + kKilledPerWave;
        ASSERT_TRUE(server.waitForLog(kAcceptLine, 10s, kSteadyCallers + churned))
            << "wave " << wave << " not accepted";
        expectLossless(finish(*clean, 15s), kCleanPerWave, "clean wave " + std::to_string(wave));
        killed->sendSignal(SIGKILL);
        killed->waitExit(5s);
        peak.raiseTo(footprint(pid));
    }

    // A killed caller is noticed once SRT gives up on it (about 5 s), and reaped at the next
    // 3-second sample.
    EXPECT_TRUE(server.waitForLog(kRemoveLine, 20s, churned));
    ASSERT_TRUE(steady->running()) << "the steady callers ended early";
    steady->sendSignal(SIGTERM);
    const ToolRun steadyRun = finish(*steady, 10s);
    expectLossless(steadyRun, kSteadyCallers, "steady callers");
    EXPECT_TRUE(server.waitForLog(kRemoveLine, 15s, churned + kSteadyCallers));
    // A caller is deleted after its removal is logged, outside the clients mutex.
    EXPECT_TRUE(server.waitForLog(kDeleteLine, 5s, churned + kSteadyCallers));

    const Footprint after = settledFootprint(pid, before, 5s);
    for (const char* line : {kAcceptLine, kRemoveLine, kDeleteLine}) {
        EXPECT_EQ(server.countInLog(line), churned + kSteadyCallers) << line;
    }
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.rssKb, before.rssKb + 20 * 1024);
    EXPECT_LE(after.fds, before.fds + 2);
    EXPECT_TRUE(server.process->running());
    EXPECT_EQ(server.countInLog("web server cannot listen"), 1) << server.log();
    EXPECT_EQ(server.countInLog("ERROR: web server cannot listen on port " + webPort), 1);
    figure("churn: " + std::to_string(churned) + " passing callers; steady " + steadyRun.json);
    figure("churn: server before " + describe(before) + "; peak " + describe(peak) + "; after " +
           describe(after));
}

} // namespace
} // namespace vandra::e2e
