#include <algorithm>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "rawhttp.h"

// Several SRT listeners on one port (srt_threads), held against the load client on loopback.
namespace vandra::e2e {
namespace {

constexpr int kListeners = 4;

// Callers per listener as /metrics shows them; -1 where a listener is missing.
std::vector<int> callersPerListener(int webPort) {
    std::vector<int> callers;
    for (int i = 0; i < kListeners; ++i) {
        const std::optional<double> value =
            metricOf(webPort, "vandra_listener_callers{listener=\"" + std::to_string(i) + "\"}");
        callers.push_back(value ? static_cast<int>(*value) : -1);
    }
    return callers;
}

// The sum of every sample whose line starts with `prefix`.
double familySum(const std::string& metrics, const std::string& prefix) {
    double sum = 0;
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(prefix, 0) == 0) {
            sum += std::stod(line.substr(line.rfind(' ') + 1));
        }
    }
    return sum;
}

// Guards against the listeners not sharing the work (every caller on one listener, or a
// listener whose callers are not registered or counted), against a caller of one listener
// missing bytes, and against SO_REUSEPORT letting a second server join the port instead of
// being refused with the reason and its holder.
TEST(SharedPort, FortyCallersSpreadOverListenersAndASecondServerIsRefused) {
    ServerFixture fixture({"srt_threads=" + std::to_string(kListeners)});
    ASSERT_TRUE(fixture.waitForLog(" on 4 listeners sharing the port (srt_threads)", 10s))
        << fixture.log();
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    auto callers = fixture.startCallers(40, 6, {"--stagger-ms", "0"});
    std::vector<int> spread;
    const bool allIn = waitUntil(
        [&] {
            spread = callersPerListener(fixture.webPort);
            return metricOf(fixture.webPort, "vandra_callers") == 40.0;
        },
        20s);
    EXPECT_TRUE(allIn) << fixture.log();
    spread = callersPerListener(fixture.webPort);
    const std::string shown = ::testing::PrintToString(spread);
    EXPECT_EQ(std::accumulate(spread.begin(), spread.end(), 0), 40) << shown;
    EXPECT_GE(std::count_if(spread.begin(), spread.end(), [](int n) { return n > 0; }), 3) << shown;
    // The bytes by listener add up to the callers' own, in one scrape.
    const std::string metrics = httpBody(rawHttpGet(fixture.webPort, "/metrics"));
    double byListener = 0;
    for (int i = 0; i < kListeners; ++i) {
        byListener +=
            sampleOf(metrics, "vandra_listener_sent_bytes{listener=\"" + std::to_string(i) + "\"}")
                .value_or(-1e12);
    }
    EXPECT_EQ(byListener, familySum(metrics, "vandra_caller_sent_bytes_total{")) << metrics;

    const ServerInstance second;
    const ToolRun refused = second.runToExit(
        {uniqueSource().setting(), "port=" + std::to_string(fixture.srtPort),
         "webport=" + std::to_string(freeTcpPort()), "srt_threads=" + std::to_string(kListeners)},
        8s);
    EXPECT_EQ(refused.status, 255) << refused.output;
    const std::string reason =
        "is in use by vandra-server (pid " + std::to_string(fixture.process->pid()) + ")";
    const std::size_t said = refused.output.find(reason);
    EXPECT_NE(said, std::string::npos) << refused.output;
    EXPECT_LT(said, refused.output.find("The server is already running on this port."))
        << refused.output;

    expectLossless(finish(*callers, 60s), 40, "callers over four listeners");
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against the caller limit being checked per listener, or raced by requests that
// arrive on several listeners at once (each listener's hook runs on its own thread), and
// against a listener that stops admitting once its callers have left.
TEST(SharedPort, LimitHoldsForABurstAcrossListenersAndFreedPlacesAreTaken) {
    ServerFixture fixture({"srt_threads=" + std::to_string(kListeners), "maxcallers=10"});
    auto publisher = fixture.startPublisher({"--bitrate", "1000000"});
    const ToolRun burst = fixture.runCallers(40, 1, 60s, {"--stagger-ms", "0"});
    EXPECT_EQ(burst.number("connected"), 10u) << burst.output;
    EXPECT_EQ(fixture.countInLog("accept new client"), 10) << fixture.log();
    EXPECT_TRUE(fixture.waitForLog("caller limit of 10 reached", 5s)) << fixture.log();
    EXPECT_EQ(metricOf(fixture.webPort, "vandra_callers_rejected_total{reason=\"limit\"}"), 30);
    ASSERT_TRUE(fixture.waitForLog(") ended: hung up", 10s, 10)) << fixture.log();
    EXPECT_TRUE(waitUntil([&] { return metricOf(fixture.webPort, "vandra_callers") == 0.0; }, 15s))
        << fixture.log();
    // Fewer than the limit: a caller is counted twice for a moment as it is registered, on each
    // of the four accept threads, which could refuse the last of exactly ten.
    expectLossless(fixture.runCallers(6, 1, 30s, {"--stagger-ms", "0"}), 6,
                   "six more after the first ten left");
    publisher->stop();
    fixture.expectCleanStop();
}

} // namespace
} // namespace vandra::e2e
