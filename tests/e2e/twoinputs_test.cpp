#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "rawhttp.h"
#include "webclient.h"

// A main and a backup input of one stream: the callers follow the switch without noticing it
// as anything but a jump in the stream.
namespace vandra::e2e {
namespace {

// Each publisher numbers its test packets from its own base, so the callers tell them apart.
constexpr std::uint64_t kBackupBase = 1'000'000'000;
constexpr std::uint64_t kMainAgainBase = 2'000'000'000;

std::unique_ptr<Process> startNumberedPublisher(const MulticastSource& source, std::uint64_t base,
                                                const std::filesystem::path& dir) {
    return startTool("vandra-publisher",
                     publisherArgs(source.group, source.port,
                                   {"--bitrate", "2000000", "--start-seq", std::to_string(base)}),
                     dir);
}

std::string pathSeries(const char* name, int input) {
    return std::string(name) + "{input=\"" + std::to_string(input) + "\"}";
}

// Guards: no failover when the main input stops, callers cut at the switch, no failback, a
// failback before the main input was steady, figures per input missing or wrong.
TEST(TwoInputs, FailsOverToTheBackupAndBackWithCallersConnected) {
    const MulticastSource backup = uniqueSource();
    ServerFixture server(
        {"source2=udp://" + backup.group + ":" + std::to_string(backup.port) + "(127.0.0.1)",
         "failover_timeout=300", "failback_delay=1000"});
    ASSERT_TRUE(waitForJoin(*server.process, backup.group)) << server.log();
    auto main = startNumberedPublisher(server.source, 0, server.dir());
    auto second = startNumberedPublisher(backup, kBackupBase, server.dir());
    auto callers = server.startCallers(1, 120);
    const Json connected = waitForStatus(
        server.webPort,
        [](const Json& s) {
            return s["callers"].size() == 1 && s["callers"][0]["sent_bytes"].get<int>() > 0;
        },
        10s);
    ASSERT_EQ(connected["callers"].size(), 1u) << connected.dump() << server.log();
    ASSERT_EQ(connected["inputs"].size(), 2u) << connected.dump();
    EXPECT_EQ(connected["inputs"][0]["active"], true);
    EXPECT_EQ(connected["inputs"][1]["active"], false);
    EXPECT_EQ(server.countInLog("-- input switched"), 0) << server.log();

    main->stop();
    ASSERT_TRUE(server.waitForLog("-- input switched to 2: input 1 is down", 10s)) << server.log();
    EXPECT_TRUE(contains(server.log(), "-- input 1 down: no datagram for"));
    // A caller that joins now gets only the backup's packets.
    const ToolRun onBackup = server.runCallers(1, 1, 20s);
    EXPECT_GE(onBackup.number("first_seq").value_or(0), kBackupBase) << onBackup.json;
    EXPECT_EQ(onBackup.number("gaps"), 0u) << onBackup.json;
    const std::string metrics = webBody(server.webPort, "/metrics");
    EXPECT_EQ(sampleOf(metrics, pathSeries("vandra_input_active", 2)), 1.0) << metrics;
    EXPECT_EQ(sampleOf(metrics, pathSeries("vandra_input_path_stalled", 1)), 1.0) << metrics;
    EXPECT_EQ(sampleOf(metrics, "vandra_input_switches_total"), 1.0) << metrics;

    main = startNumberedPublisher(server.source, kMainAgainBase, server.dir());
    ASSERT_TRUE(server.waitForLog("-- input 1 up", 10s)) << server.log();
    ASSERT_TRUE(server.waitForLog("-- input switched to 1: input 1 delivered steadily for", 10s))
        << server.log();
    const Json back = waitForStatus(
        server.webPort, [](const Json& s) { return s["inputs"][0]["active"] == true; }, 5s);
    EXPECT_EQ(back["inputs"][0]["switches_total"], 2) << back.dump();
    EXPECT_EQ(back["inputs"][0]["stalled"], false) << back.dump();
    EXPECT_GT(back["inputs"][1]["datagrams_total"].get<std::uint64_t>(), 0u) << back.dump();
    // A switch is not a run of continuity errors.
    EXPECT_EQ(back["input"]["ts_continuity_errors"], 0) << back.dump();
    // Past the failback, the main input's new packets reach the long-running caller too.
    const ToolRun fresh = server.runCallers(1, 1, 20s);
    EXPECT_GE(fresh.number("first_seq").value_or(0), kMainAgainBase) << fresh.json;

    callers->sendSignal(SIGTERM);
    const ToolRun through = finish(*callers, 20s);
    EXPECT_EQ(through.number("connected"), 1u) << through.json;
    EXPECT_EQ(through.number("disconnected"), 0u) << through.json;
    EXPECT_EQ(through.number("duplicates"), 0u) << through.json;
    EXPECT_EQ(through.number("corrupt"), 0u) << through.json;
    EXPECT_LT(through.number("first_seq").value_or(kBackupBase), kBackupBase) << through.json;
    EXPECT_GE(through.number("last_seq").value_or(0), kMainAgainBase) << through.json;
    main->stop();
    second->stop();
    server.expectCleanStop();
}

} // namespace
} // namespace vandra::e2e
