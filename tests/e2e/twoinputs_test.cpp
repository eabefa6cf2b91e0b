#include <chrono>
#include <cmath>
#include <csignal>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "filecaller.h"
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
        {backup.setting("source2"), "failover_timeout=300", "failback_delay=1000"});
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

// The video frames ffprobe decodes from `file`, as the lengths of the runs whose times follow
// on without a jump of more than `jump` seconds; empty when it fails.
std::vector<int> decodedRuns(const std::filesystem::path& file, double jump) {
    const ToolRun probe =
        finish(*Process::start({"/usr/bin/ffprobe", "-v", "quiet", "-select_streams", "v:0",
                                "-show_entries", "frame=pts_time", "-of", "csv=p=0", file.string()},
                               file.parent_path(), file.string() + ".frames"),
               60s);
    std::vector<int> runs;
    std::istringstream lines(probe.status == 0 ? probe.output : "");
    double last = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line == "N/A") {
            continue;
        }
        const double time = std::stod(line);
        if (runs.empty() || std::abs(time - last) > jump) {
            runs.push_back(0);
        }
        ++runs.back();
        last = time;
    }
    return runs;
}

// Two encoders with the same settings, the backup's clock 1000 s ahead so that a switch shows
// as a jump in the frames' times: a caller's recording across a failover and a failback decodes,
// with frames of main, backup and main again. Guards: a switch inside a packet or a table cut short
// that a player cannot decode past.
TEST(TwoInputs, AnEncodedStreamDecodesAcrossAFailoverAndAFailback) {
    const MulticastSource backup = uniqueSource();
    ServerFixture server(
        {backup.setting("source2"), "failover_timeout=300", "failback_delay=1000"});
    ASSERT_TRUE(waitForJoin(*server.process, backup.group)) << server.log();
    const std::vector<std::string> codec{"-t",   "60", "-c:v", "mpeg2video",
                                         "-b:v", "1M", "-g",   "12"};
    std::vector<std::string> backupCodec = codec;
    backupCodec.insert(backupCodec.end(), {"-output_ts_offset", "1000"});
    auto main = startEncoder(server.source.group, server.source.port, codec, server.dir());
    auto second = startEncoder(backup.group, backup.port, backupCodec, server.dir());
    FileCaller caller(server.dir(), "across", server.srtPort);
    // Some seconds of video in each phase (1 Mbit/s).
    constexpr std::uintmax_t kPhaseBytes = 300'000;
    const auto grows = [&](std::uintmax_t from) {
        return waitUntil([&] { return caller.size() >= from + kPhaseBytes; }, 20s);
    };
    // A switch goes only to an input that delivers, and the backup encoder may start late (the
    // switch then went to it and back).
    const Json ready = waitForStatus(
        server.webPort,
        [](const Json& s) {
            return s["inputs"][0]["active"] == true && s["inputs"][1]["datagrams_total"] > 0;
        },
        20s);
    ASSERT_EQ(ready["inputs"][0]["active"], true) << ready.dump();
    ASSERT_TRUE(grows(caller.size())) << caller.messages() << server.log();
    const int failovers = server.countInLog("-- input switched to 2");
    main->stop();
    ASSERT_TRUE(server.waitForLog("-- input switched to 2", 10s, failovers + 1)) << server.log();
    ASSERT_TRUE(grows(caller.size())) << server.log();
    const int failbacks = server.countInLog("-- input switched to 1");
    main = startEncoder(server.source.group, server.source.port, codec, server.dir());
    ASSERT_TRUE(server.waitForLog("-- input switched to 1", 15s, failbacks + 1)) << server.log();
    ASSERT_TRUE(grows(caller.size())) << server.log();
    caller.process->stop();
    main->stop();
    second->stop();

    const std::vector<int> runs = decodedRuns(caller.file, 10);
    const std::string seen = ::testing::PrintToString(runs);
    // Main, backup, main again (and a run of the backup first if the main encoder started
    // late); more than a group of pictures (12 frames) decoded after each switch shows that
    // decoding went on past it.
    ASSERT_GE(runs.size(), 3u) << seen;
    for (std::size_t i = runs.size() - 3; i < runs.size(); ++i) {
        EXPECT_GT(runs[i], 12) << seen;
    }
    server.expectCleanStop();
}

// The same RTP stream on two groups, each path with its own losses and the second one silent
// for a second: a caller connected from the start gets every packet once, in order; the
// merged stream lost nothing and each path's loss is exactly what it was made to drop.
// Guards: a loss on one path reaching the callers, a packet delivered twice, a silent path
// taken for a failover, per-path loss miscounted.
TEST(TwoInputs, MergesTwoRtpPathsSoThatNeitherPathsLossReachesTheCallers) {
    constexpr int kDatagrams = 800; // 4 reports of the file caller, about 2 s at 4 Mbit/s
    constexpr int kSilentFirst = 200;
    constexpr int kSilentEnd = 580; // a second of datagrams
    std::set<int> dropsFirst;
    std::set<int> dropsSecond;
    for (int index = 1; index < kDatagrams - 1; ++index) {
        if (index >= kSilentFirst && index < kSilentEnd) {
            dropsSecond.insert(index);
        } else if (index % 17 == 5) {
            dropsFirst.insert(index);
        } else if (index % 23 == 7) {
            dropsSecond.insert(index);
        }
    }
    const auto dropList = [](const std::set<int>& drops) {
        std::string list;
        for (int index : drops) {
            list += (list.empty() ? "" : ",") + std::to_string(index);
        }
        return list;
    };
    const MulticastSource second = uniqueSource();
    // The two publishers start one after the other: the widest window absorbs a slow start.
    ServerFixture server({second.setting("source2"), "merge_window=1000"});
    ASSERT_TRUE(waitForJoin(*server.process, second.group)) << server.log();
    FileCaller caller(server.dir(), "caller", server.srtPort);
    ASSERT_TRUE(server.waitForLog("-- start ClientHandler loop", 15s)) << server.log();
    const Json listed = waitForStatus(
        server.webPort, [](const Json& s) { return s["callers"].size() == 1; }, 10s);
    ASSERT_EQ(listed["callers"].size(), 1u) << listed.dump();

    const auto publish = [&](const MulticastSource& source, const std::set<int>& drops) {
        return startTool("vandra-publisher",
                         publisherArgs(source.group, source.port,
                                       {"--rtp", "--rtp-ssrc", "4242", "--rtp-seq", "65000",
                                        "--bitrate", "4000000", "--count",
                                        std::to_string(kDatagrams), "--rtp-drop", dropList(drops)}),
                         server.dir());
    };
    auto first = publish(server.source, dropsFirst);
    auto other = publish(second, dropsSecond);
    EXPECT_EQ(finish(*first, 30s).status, 0);
    EXPECT_EQ(finish(*other, 30s).status, 0);

    EXPECT_TRUE(waitUntil([&] { return caller.reports() >= 4; }, 30s, 50ms)) << caller.reports();
    caller.process->stop();
    expectWholeStream(caller, kDatagrams * 7);
    std::string metrics;
    // Each input's last gap is counted once it has waited out the window.
    const auto settled = [&] {
        metrics = webBody(server.webPort, "/metrics");
        return sampleOf(metrics, pathSeries("vandra_input_path_lost_packets_total", 1)) ==
                   static_cast<double>(dropsFirst.size()) &&
               sampleOf(metrics, pathSeries("vandra_input_path_lost_packets_total", 2)) ==
                   static_cast<double>(dropsSecond.size());
    };
    EXPECT_TRUE(waitUntil(settled, 10s, 50ms)) << metrics;
    EXPECT_EQ(sampleOf(metrics, "vandra_input_rtp_lost_packets_total"), 0.0) << metrics;
    EXPECT_EQ(sampleOf(metrics, "vandra_input_switches_total"), 0.0) << metrics;
    EXPECT_TRUE(contains(server.log(), "-- input 2 down: no datagram for")) << server.log();
    EXPECT_TRUE(contains(server.log(), "-- input 2 up")) << server.log();
    EXPECT_FALSE(contains(server.log(), "failover between")) << server.log();
    const Json status = waitForStatus(
        server.webPort, [](const Json&) { return true; }, 5s);
    EXPECT_EQ(status["inputs"][0]["mode"], "merge") << status.dump();
    server.expectCleanStop();
}

} // namespace
} // namespace vandra::e2e
