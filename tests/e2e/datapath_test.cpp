#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filecaller.h"
#include "harness.h"
#include "webclient.h"

// The data path from multicast input to SRT callers, driven with the real server, the test
// tools and srt-live-transmit, all on loopback.
namespace vandra::e2e {
namespace {

constexpr std::uint64_t kPacketsPerChunk = 7;
// SRT notices a peer that vanished without a word only when its idle timeout (about 5 s)
// runs out, and the registry reaps finished callers every 3 s.
constexpr auto kKilledCallerNoticed = 12s;

ToolRun publishOnce(const ServerFixture& fixture, const std::vector<std::string>& options) {
    const ToolRun published = fixture.publish(options);
    EXPECT_EQ(published.status, 0) << published.output;
    EXPECT_EQ(published.number("send_errors"), 0u) << published.json;
    return published;
}

// ---- Delivery of the input to callers ---------------------------------------------------

// Guards against RTP header parts (the longest CSRC list, extension and padding, in a datagram
// of 2047 bytes) reaching the callers as stream bytes, or a datagram cut at the receive buffer;
// against the receiver then treating one raw datagram as one chunk (single TS packets must be
// gathered into the same chunks), an empty datagram taken for an error or a chunk boundary,
// and an oversize one forwarded truncated or disturbing a partly filled chunk; and against a
// new stream (each RTP run has its own SSRC) or the change of format losing or repeating
// anything. Empties come every third raw datagram, oversize ones every tenth.
TEST(DataPathDelivery, RtpHeaderShapesThenSinglePacketDatagramsGiveTheWholeStream) {
    ServerFixture fixture;
    FileCaller caller(fixture.dir(), "caller", fixture.srtPort);
    // Its sending loop makes its buffer right after its first line, on the same thread without a
    // blocking call, so a status round trip and the publisher's start come after it.
    ASSERT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 15s)) << fixture.log();
    const Json listed = waitForStatus(
        fixture.webPort, [](const Json& s) { return s["callers"].size() == 1; }, 10s);
    ASSERT_EQ(listed["callers"].size(), 1u) << listed.dump();
    const std::vector<std::vector<std::string>> shapes{
        {},
        {"--rtp-csrc", "15", "--rtp-extension-words", "100", "--rtp-padding", "255"},
        {"--rtp-csrc", "1", "--rtp-padding", "1"},
    };
    constexpr std::uint64_t kDatagramsPerShape = 400; // two statistics reports
    std::uint64_t next = 0;
    for (const std::vector<std::string>& shape : shapes) {
        std::vector<std::string> options = shape;
        options.insert(options.end(),
                       {"--rtp", "--bitrate", "8000000", "--start-seq", std::to_string(next),
                        "--count", std::to_string(kDatagramsPerShape)});
        EXPECT_EQ(publishOnce(fixture, options).number("datagrams"), kDatagramsPerShape);
        next += kDatagramsPerShape * kPacketsPerChunk;
    }
    EXPECT_EQ(fixture.countInLog("-- dropped"), 0) << fixture.log();
    constexpr std::uint64_t kPackets = 1400; // 200 chunks each time: no partial chunk left
    for (const auto& [every, size] : {std::pair{3, 0}, std::pair{10, 2000}}) {
        const ToolRun published =
            publishOnce(fixture, {"--size", "188", "--count", std::to_string(kPackets), "--bitrate",
                                  "4000000", "--start-seq", std::to_string(next), "--inject-every",
                                  std::to_string(every), "--inject-size", std::to_string(size)});
        EXPECT_EQ(published.number("injected"), kPackets / every) << published.json;
        next += kPackets;
    }
    // The caller reports every kChunksPerReport chunks; its exit flushes what it holds.
    const std::uint64_t reports = next / kPacketsPerChunk / FileCaller::kChunksPerReport;
    EXPECT_TRUE(waitUntil([&] { return caller.reports() >= reports; }, 30s, 50ms))
        << caller.reports() << " of " << reports << " reports";
    caller.process->stop();
    expectWholeStream(caller, next);
    EXPECT_TRUE(fixture.waitForLog(
        "-- dropped datagram of 2000 bytes (longer than 1316), dropped so far: 1  leftserver", 5s))
        << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- input format: rtp  leftserver"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- input format changed to ts, changes so far: 1 "), 1)
        << fixture.log();
    fixture.expectCleanStop();
}

// ---- Callers that come and go -----------------------------------------------------------

// Guards against a burst of simultaneous callers being refused (listen backlog) or lost
// between accept and the registry, against fan-out faults that show only with many callers at
// once (chunks skipped or altered for some, callers dropped or starved), and against a caller
// that vanishes (no SRT shutdown) during the burst never being removed, its thread never
// joined, or its removal disturbing the others. No timing is asserted.
TEST(DataPathCallers, TwentySimultaneousCallersReceiveEverythingAndAKilledOneIsRemoved) {
    ServerFixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "4000000"});
    auto victim = fixture.startCallers(1, 60);
    ASSERT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 10s)) << fixture.log();
    const int seconds = 6;
    // Under a sanitizer both ends run several times slower; a generous caller latency keeps
    // that slowness from turning into SRT's too-late drops, which would read as lost chunks.
    const int latencySeconds = 3;
    auto burst = fixture.startCallers(
        20, seconds, {"--stagger-ms", "0", "--latency", std::to_string(latencySeconds * 1000)});
    victim->sendSignal(SIGKILL);
    EXPECT_EQ(victim->waitExit(5s), kSigkill);
    EXPECT_TRUE(fixture.waitForLog(") ended: connection lost; connected ", kKilledCallerNoticed))
        << fixture.log();
    const ToolRun run = finish(*burst, 90s);
    expectLossless(run, 20, "20 callers");
    // A caller the server stopped feeding would show no gap, only too few packets; half of
    // what was played out after the latency is a bound no working server misses.
    const std::uint64_t published = 4'000'000 / 8 / 188 * (seconds - latencySeconds);
    EXPECT_GE(run.number("per_caller_min_packets").value_or(0), published / 2) << run.json;
    EXPECT_EQ(fixture.countInLog("accept new client"), 21) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
    // Each caller of the burst hung up cleanly: a failed send ends it, not nine statistics
    // warnings.
    EXPECT_EQ(fixture.countInLog("-- WARN: stat not available"), 0) << fixture.log();
    EXPECT_EQ(fixture.countInLog(") ended: hung up; connected "), 20) << fixture.log();
    EXPECT_EQ(fixture.countInLog(") ended: connection lost; connected "), 1) << fixture.log();
}

// ---- SRT settings -----------------------------------------------------------------------

constexpr const char* kPassphrase = "correct-horse-42";

// Guards against a caller retrying a refused handshake flooding the log (libsrt's own lines
// included) without its address; against latency=0 not selecting file mode or breaking the byte
// stream of a file-mode caller; against a stream id writing lines (or terminal escapes) into the
// log; and against a silent group getting no hint, or more than one, naming what was joined.
TEST(DataPathSrtSettings, WrongPassphraseLoggedOnceFileModeServedAndSilentInputHinted) {
    ServerFixture fixture(
        {std::string("passphrase=") + kPassphrase, "latency=0", "input_timeout=0"});
    EXPECT_TRUE(fixture.waitForLog("ttype FILE mode  utils  ", 1s)) << fixture.log();
    EXPECT_FALSE(contains(fixture.log(), "\nlatency ")) << fixture.log();
    const std::string hint = "-- no input: nothing received from udp://" + fixture.source.group +
                             ":" + std::to_string(fixture.source.port) + " in ";
    EXPECT_TRUE(fixture.waitForLog(hint, 8s)) << fixture.log();
    EXPECT_TRUE(contains(fixture.log(), "ms, joined on 127.0.0.1 (lo); check ")) << fixture.log();

    // A file-mode caller, so that the passphrase and nothing else is what it is refused for, from
    // an address of its own, so that the hook line of the caller after it is not held back.
    const std::string command =
        "exec /usr/bin/srt-live-transmit -q 'srt://127.0.0.1:" + std::to_string(fixture.srtPort) +
        "?mode=caller&adapter=127.0.0.2&port=" + std::to_string(freeUdpPort()) +
        "&transtype=file&passphrase=not-the-passphrase' file://con >/dev/null 2>&1";
    auto retrying =
        Process::start({"/bin/sh", "-c", command}, fixture.dir(), fixture.dir() / "retrying.log");
    const std::string refusals = "vandra_callers_rejected_total{reason=\"passphrase\"}";
    EXPECT_TRUE(waitUntil([&] { return metricOf(fixture.webPort, refusals).value_or(0) >= 3; }, 9s))
        << metricOf(fixture.webPort, refusals).value_or(-1);
    retrying->stop();
    EXPECT_EQ(fixture.countInLog("-- caller 127.0.0.2:"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("not connected: wrong passphrase"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("LISTEN CALLBACK HOOK"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("BADSECRET"), 0) << fixture.log();
    EXPECT_EQ(fixture.countInLog("accept new client"), 0) << fixture.log();

    auto publisher = fixture.startPublisher({"--bitrate", "4000000"});
    const ToolRun run = fixture.runCallers(1, 2, 30s,
                                           {"--file-mode", "--passphrase", kPassphrase,
                                            "--streamid", "x\nREMOVE  rightserver  77\x1b[2J"});
    expectLossless(run, 1, "file-mode caller");
    EXPECT_GT(run.number("packets").value_or(0), 1000u) << run.json;
    EXPECT_TRUE(contains(fixture.log(),
                         "LISTEN CALLBACK HOOKx\\x0aREMOVE  rightserver  77\\x1b[2J  utils  "))
        << fixture.log();
    EXPECT_FALSE(contains(fixture.log(), "\nREMOVE  rightserver  77")) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
    EXPECT_EQ(fixture.countInLog("-- no input"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- input stalled"), 0) << fixture.log();
}

// ---- An input that stops, or never comes -------------------------------------------------

// Guards against a publisher pause disturbing connected callers, and against a silent input
// going unnoticed: one line when it stops, one when it comes back, with the gap.
TEST(DataPathInput, StalledInputIsReportedAndCallersGetTheResumedStream) {
    ServerFixture fixture({"input_timeout=1000"});
    auto callers = fixture.startCallers(2, 60);
    ASSERT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 10s, 2)) << fixture.log();
    const ToolRun first = fixture.publish({"--bitrate", "2000000", "--seconds", "1"});
    EXPECT_TRUE(fixture.waitForLog("-- input stalled: no datagram for 1000 ms  inputmonitor", 3s))
        << fixture.log();
    const std::string next = std::to_string(first.number("last_seq").value_or(0) + 1);
    const ToolRun second =
        fixture.publish({"--bitrate", "2000000", "--seconds", "1", "--start-seq", next});
    EXPECT_TRUE(fixture.waitForLog("-- input resumed after ", 3s)) << fixture.log();
    // The callers end on SIGTERM once the server has sent them everything.
    const std::uint64_t bytes =
        (first.number("packets").value_or(0) + second.number("packets").value_or(0)) * 188;
    waitForStatus(
        fixture.webPort,
        [bytes](const Json& s) {
            return s["callers"].size() == 2 &&
                   s["callers"][0]["sent_bytes"].get<std::uint64_t>() >= bytes &&
                   s["callers"][1]["sent_bytes"].get<std::uint64_t>() >= bytes;
        },
        10s);
    callers->sendSignal(SIGTERM);
    const ToolRun received = finish(*callers, 30s);
    expectLossless(received, 2, "callers across the pause");
    EXPECT_EQ(fixture.countInLog("-- input resumed after "), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- no input"), 0) << fixture.log();
    fixture.expectCleanStop();
}

// ---- Source-specific joins ---------------------------------------------------------------

// Guards against a source-specific join taking a second sender's datagrams on the same group
// and port, also while another socket of the host (here a second server) is a member of the
// group for every sender, and against the any-source form dropping either sender. The second
// sender's packets carry far-off sequence numbers, so any of them reaching a caller is a gap;
// the input byte counters are exact on loopback.
TEST(DataPathInput, SourceSpecificJoinTakesOneSenderWhereAnySourceTakesBoth) {
    ServerFixture anySource;
    const std::string groupPort =
        anySource.source.group + ":" + std::to_string(anySource.source.port);
    ServerInstance instance;
    const int srtPort = freeUdpPort();
    const int webPort = freeTcpPort();
    auto ssm =
        instance.run({"source=udp://127.0.0.1@" + groupPort + "(127.0.0.1)",
                      "port=" + std::to_string(srtPort), "webport=" + std::to_string(webPort)});
    ASSERT_TRUE(ssm->waitForOutput(
        "-- source-specific join: taking " + groupPort + " from 127.0.0.1 only  leftserver", 15s))
        << ssm->output();
    auto caller =
        startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 60), instance.dir());
    ASSERT_TRUE(ssm->waitForOutput("-- start ClientHandler loop", 10s)) << ssm->output();

    const std::vector<std::string> rate = {"--bitrate", "2000000", "--seconds", "1"};
    auto intruder =
        anySource.startPublisher(joined({"--from", "127.0.0.2", "--start-seq", "1000000"}, rate));
    const ToolRun own = publishOnce(anySource, rate);
    const ToolRun other = finish(*intruder, 60s);
    ASSERT_EQ(other.status, 0) << other.output;
    const std::uint64_t ownBytes = own.number("bytes").value_or(0);
    const std::uint64_t bothBytes = ownBytes + other.number("bytes").value_or(0);
    ASSERT_GT(bothBytes, ownBytes) << other.json;

    const std::string bytesSeries = "vandra_input_bytes_total";
    EXPECT_TRUE(waitUntil(
        [&] { return metricOf(anySource.webPort, bytesSeries).value_or(0) >= bothBytes; }, 10s));
    EXPECT_EQ(metricOf(anySource.webPort, bytesSeries), bothBytes);
    waitForStatus(
        webPort,
        [&](const Json& s) {
            return s["callers"].size() == 1 &&
                   s["callers"][0]["sent_bytes"].get<std::uint64_t>() >= ownBytes;
        },
        10s);
    EXPECT_EQ(metricOf(webPort, bytesSeries), ownBytes);
    EXPECT_TRUE(contains(webBody(webPort, "/stats"),
                         "\"source\":\"udp://127.0.0.1@" + groupPort + " (127.0.0.1)\""));
    caller->sendSignal(SIGTERM);
    const ToolRun received = finish(*caller, 30s);
    expectLossless(received, 1, "caller of the source-specific join");
    EXPECT_EQ(received.number("first_seq"), 0u) << received.json;
    EXPECT_EQ(received.number("last_seq"), own.number("last_seq")) << received.json;
    EXPECT_TRUE(ssm->waitForOutput("del client (try del thread)", 12s)) << ssm->output();
    EXPECT_EQ(ssm->stop(), kSigterm) << ssm->output();
    anySource.expectCleanStop();
}

} // namespace
} // namespace vandra::e2e
