#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filecaller.h"
#include "harness.h"
#include "webclient.h"

// Callers that pick one programme of a multi-programme input, with real peers on loopback.
namespace vandra::e2e {
namespace {

// `programmes` (1 or 2) programmes of H.264 and AAC each, the second named "Two" in the SDT, in
// real time.
std::unique_ptr<Process> startProgrammes(const ServerFixture& server, int programmes) {
    const std::string output = "udp://" + server.source.group + ":" +
                               std::to_string(server.source.port) +
                               "?pkt_size=1316&localaddr=127.0.0.1&ttl=1";
    std::vector<std::string> argv{"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel",
                                  "error"};
    const std::vector<std::string> sources{"testsrc2=size=320x180:rate=25", "sine=frequency=440",
                                           "testsrc=size=320x180:rate=25", "sine=frequency=880"};
    for (int input = 0; input < 2 * programmes; ++input) {
        argv = joined(argv, {"-re", "-f", "lavfi", "-i", sources[input]});
    }
    for (int input = 0; input < 2 * programmes; ++input) {
        argv = joined(argv, {"-map", std::to_string(input) + (input % 2 == 0 ? ":v" : ":a")});
    }
    argv = joined(argv, {"-t", "60", "-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-b:v",
                         "400k", "-c:a", "aac", "-b:a", "64k", "-program",
                         "program_num=1:title=One:st=0:st=1"});
    if (programmes == 2) {
        argv = joined(argv, {"-program", "program_num=2:title=Two:st=2:st=3"});
    }
    return Process::start(joined(argv, {"-f", "mpegts", output}), server.dir(),
                          server.dir() / ("ffmpeg" + std::to_string(programmes) + ".log"));
}

// Alice may watch programme 2 only, bob any.
constexpr const char* kUsers = "alice:alice-Zk9-secret:r=2\nbob:bob-Zk9-secret\n";

// ffprobe as `user` (whose passphrase is "USER-Zk9-secret") with "r=" `program` unless empty.
std::unique_ptr<Process> startProbe(const ServerFixture& server, const std::string& user,
                                    const std::string& program) {
    const std::string streamId = "%23!::u=" + user + (program.empty() ? "" : ",r=" + program);
    return Process::start({"/usr/bin/ffprobe", "-v", "error", "-show_programs", "-i",
                           "srt://127.0.0.1:" + std::to_string(server.srtPort) +
                               "?timeout=5000000&passphrase=" + user +
                               "-Zk9-secret&streamid=" + streamId},
                          server.dir(), server.dir() / ("ffprobe_" + user + program + ".log"));
}

std::set<int> pidsIn(const std::vector<std::uint8_t>& bytes) {
    std::set<int> pids;
    for (std::size_t at = 0; at + 188 <= bytes.size(); at += 188) {
        pids.insert((bytes[at + 1] & 0x1F) << 8 | bytes[at + 2]);
    }
    return pids;
}

// Guards against a caller of one programme getting others' packets or tables that do not
// parse, a name not found from the SDT, a caller without "r" losing programmes, a missing
// programme or one its user may not watch being let in, the figures of a programme not
// showing its viewer, and the viewers of a programme that left the input kept (or another
// programme's viewer cut with them, or the reason not logged).
TEST(ProgramSelection, CallersGetTheProgrammeTheyNameAndNoOtherAndUnknownOnesAreRefused) {
    const ScratchDir secrets("vandra_secrets_");
    std::ofstream(secrets.path() / "users") << kUsers;
    ServerFixture server({"programs=1", "faststart=1", "latency=200", "input_timeout=1000",
                          "users=" + (secrets.path() / "users").string()});
    ASSERT_TRUE(waitForJoin(*server.process, server.source.group)) << server.log();
    auto encoder = startProgrammes(server, 2);
    ASSERT_TRUE(server.waitForLog("-- input PAT lists 2 programs: 1, 2", 20s)) << server.log();

    const std::string alice = "&passphrase=alice-Zk9-secret";
    FileCaller viewer(server.dir(), "two", server.srtPort, "streamid=%23!::u=alice,r=Two" + alice);
    // From an address of its own, so that its refusal is logged beside the one above.
    FileCaller forbidden(server.dir(), "forbidden", server.srtPort,
                         "streamid=%23!::u=alice,r=1" + alice, "127.0.0.12");
    auto one = startProbe(server, "bob", "1");
    auto whole = startProbe(server, "bob", "");
    auto missing = startProbe(server, "bob", "9");
    const ToolRun oneRun = finish(*one, 30s);
    EXPECT_EQ(oneRun.status, 0) << oneRun.output;
    EXPECT_EQ(occurrencesIn(oneRun.output, "[PROGRAM]"), 1) << oneRun.output;
    EXPECT_TRUE(contains(oneRun.output, "program_num=1")) << oneRun.output;
    EXPECT_EQ(occurrencesIn(oneRun.output, "codec_name=h264"), 1) << oneRun.output;
    EXPECT_EQ(occurrencesIn(oneRun.output, "codec_name=aac"), 1) << oneRun.output;
    const ToolRun wholeRun = finish(*whole, 30s);
    EXPECT_EQ(occurrencesIn(wholeRun.output, "[PROGRAM]"), 2) << wholeRun.output;
    EXPECT_NE(finish(*missing, 30s).status, 0);
    EXPECT_TRUE(server.waitForLog("program \"9\" not in the input, SRT reject reason 1404", 10s))
        << server.log();
    EXPECT_TRUE(
        server.waitForLog("user alice may not watch program 1, SRT reject reason 1403", 10s))
        << server.log();
    forbidden.process->stop();
    EXPECT_EQ(forbidden.size(), 0u);

    ASSERT_TRUE(waitUntil([&] { return viewer.size() > 200'000; }, 20s)) << viewer.messages();
    // Both programmes listed, in number order; only the second watched once the probes left.
    const Json status = waitForStatus(
        server.webPort,
        [](const Json& s) {
            return s["callers"].size() == 1 && s["programs"].size() == 2 &&
                   s["programs"][1]["viewers"] == 1 && s["programs"][1]["kbps"].get<int>() > 0;
        },
        20s);
    ASSERT_EQ(status["programs"].size(), 2u) << status.dump();
    EXPECT_EQ(status["programs"][0]["viewers"], 0);
    EXPECT_EQ(status["programs"][0]["name"], "One");
    const Json& programme = status["programs"][1];
    EXPECT_EQ(programme["number"], 2);
    EXPECT_EQ(programme["name"], "Two");
    ASSERT_EQ(programme["streams"].size(), 2u) << status.dump();
    EXPECT_EQ(programme["streams"][0]["type"], 0x1B);
    EXPECT_EQ(programme["streams"][1]["type"], 0x0F);
    ASSERT_EQ(status["callers"].size(), 1u);
    EXPECT_EQ(status["callers"][0]["program"], 2);
    EXPECT_EQ(metricOf(server.webPort, "vandra_program_callers{program=\"2\"}"), 1);
    const double packets = programme["bytes_total"].get<double>() / 188;
    figure("program 2 (" + std::to_string(programme["kbps"].get<int>()) +
           " kbit/s): null packets added " +
           std::to_string(100 * programme["null_packets_added"].get<double>() / packets) +
           " % of what its callers got");
    // srt-live-transmit may try again before it is stopped: at least the two logged above.
    EXPECT_GE(metricOf(server.webPort, "vandra_callers_rejected_total{reason=\"program\"}"), 2);

    // PAT, PMT, video, audio and perhaps null packets: none of programme 1's PIDs.
    std::set<int> expected{0, programme["pmt_pid"].get<int>(), 0x1FFF};
    for (const Json& stream : programme["streams"]) {
        expected.insert(stream["pid"].get<int>());
    }
    const std::set<int> seen = pidsIn(readBytes(viewer.file));
    EXPECT_TRUE(std::includes(expected.begin(), expected.end(), seen.begin(), seen.end()))
        << "a PID of another programme leaked";
    EXPECT_GE(seen.size(), 4u);

    // A later viewer of the programme starts from its own cache: its PAT, its PMT, then its
    // key frame.
    FileCaller late(server.dir(), "late", server.srtPort, "streamid=%23!::u=alice,r=2" + alice);
    const Json joined = waitForStatus(
        server.webPort,
        [](const Json& s) {
            return s["callers"].size() == 2 && s["callers"][1]["faststart_chunks"].get<int>() > 0;
        },
        20s);
    EXPECT_GT(joined["callers"][1]["faststart_chunks"].get<int>(), 0) << joined.dump();
    ASSERT_TRUE(waitUntil([&] { return late.size() >= 2 * 188; }, 10s)) << late.messages();
    const std::vector<std::uint8_t> start = readBytes(late.file);
    EXPECT_EQ(*pidsIn({start.begin(), start.begin() + 188}).begin(), 0);
    EXPECT_EQ(*pidsIn({start.begin() + 188, start.begin() + 376}).begin(),
              programme["pmt_pid"].get<int>());

    // Programme 2 leaves the input (an encoder of programme 1 alone takes over): after
    // input_timeout its two viewers are cut with the reason, programme 1's viewer stays.
    FileCaller keeper(server.dir(), "keeper", server.srtPort,
                      "streamid=%23!::u=bob,r=1&passphrase=bob-Zk9-secret");
    ASSERT_TRUE(waitUntil([&] { return keeper.size() > 0; }, 10s)) << keeper.messages();
    encoder->stop();
    encoder = startProgrammes(server, 1);
    ASSERT_TRUE(server.waitForLog("-- program 2 left the PAT: its viewers get nothing", 20s))
        << server.log();
    EXPECT_TRUE(server.waitForLog("ended: access withdrawn (program left the input)", 10s, 2))
        << server.log();
    const std::uintmax_t before = keeper.size();
    const Json after = waitForStatus(
        server.webPort,
        [](const Json& s) { return s["callers"].size() == 1 && s["programs"].size() == 1; }, 10s);
    ASSERT_EQ(after["callers"].size(), 1u) << after.dump();
    EXPECT_EQ(after["callers"][0]["program"], 1);
    EXPECT_TRUE(waitUntil([&] { return keeper.size() > before; }, 10s)) << "programme 1 goes on";
    EXPECT_EQ(server.countInLog("(program left the input)"), 2) << server.log();
    keeper.process->stop();
    late.process->stop();
    viewer.process->stop();
    encoder->stop();
    server.expectCleanStop();
}

} // namespace
} // namespace vandra::e2e
