#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

// The data path from multicast input to SRT callers, driven with the real server, the test
// tools, srt-live-transmit and ffmpeg, all on loopback.
namespace vandra::e2e {
namespace {

constexpr std::uint64_t kPacketSize = 188;
constexpr std::uint64_t kPacketsPerChunk = 7;
// SRT notices a peer that vanished without a word only when its idle timeout (about 5 s)
// runs out, and the registry reaps finished callers every 3 s.
constexpr auto kKilledCallerNoticed = 12s;
constexpr std::uintmax_t kStdioBuffer = 8192;

// ---- srt-live-transmit as an independent caller -----------------------------------------

// srt-live-transmit writing what it receives to a file; its own messages go elsewhere so
// that the file holds nothing but the stream.
struct FileCaller {
    std::filesystem::path file;
    std::unique_ptr<Process> process;

    FileCaller(const std::filesystem::path& dir, const std::string& name, int srtPort)
        : file(dir / (name + ".ts")) {
        const std::string command =
            "exec /usr/bin/srt-live-transmit -q 'srt://127.0.0.1:" + std::to_string(srtPort) +
            "' file://con 2>'" + (dir / (name + ".err")).string() + "'";
        process = Process::start({"/bin/sh", "-c", command}, dir, file);
    }

    std::uintmax_t size() const {
        std::error_code error;
        const std::uintmax_t bytes = std::filesystem::file_size(file, error);
        return error ? 0 : bytes;
    }
};

// What a caller that was connected before the first datagram must have received: every
// packet the publisher sent, in order, unchanged, and nothing else. `missing` packets that the
// publisher numbered but never sent show as gaps.
struct SentStream {
    std::optional<std::uint64_t> firstSeq;
    std::optional<std::uint64_t> lastSeq;
    std::optional<std::uint64_t> packets;
    std::uint64_t missing = 0;
};

void expectWholeStream(const FileCaller& caller, const SentStream& sent) {
    const ToolRun check =
        runTool("vandra-tscheck", {caller.file.string()}, caller.file.parent_path(), 30s);
    SCOPED_TRACE(caller.file.string() + ": " + check.json);
    EXPECT_EQ(check.status, sent.missing == 0 ? 0 : 1) << check.output;
    EXPECT_EQ(check.number("gaps"), sent.missing);
    for (const char* zero : {"duplicates", "corrupt", "trailing_bytes"}) {
        EXPECT_EQ(check.number(zero), 0u) << zero;
    }
    EXPECT_EQ(check.number("first_seq"), sent.firstSeq);
    EXPECT_EQ(check.number("last_seq"), sent.lastSeq);
    EXPECT_EQ(check.number("packets"), sent.packets);
}

void expectWholeStream(const FileCaller& caller, const ToolRun& published,
                       std::uint64_t missing = 0) {
    expectWholeStream(caller, {published.number("first_seq"), published.number("last_seq"),
                               published.number("packets"), missing});
}

// Connects `count` file callers and waits until the server runs a sending loop for each, so
// that every one of them has its buffer before the input starts.
std::vector<FileCaller> connectFileCallers(const ServerFixture& fixture, int count) {
    std::vector<FileCaller> callers;
    for (int i = 0; i < count; ++i) {
        callers.emplace_back(fixture.dir(), "caller" + std::to_string(i), fixture.srtPort);
    }
    EXPECT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 15s, count)) << fixture.log();
    // The buffer is made right after that line.
    std::this_thread::sleep_for(300ms);
    return callers;
}

// Waits until every caller holds all the bytes it should, then stops them.
void collect(std::vector<FileCaller>& callers, std::uint64_t expectedPacketsPerCaller) {
    // srt-live-transmit writes through a stdio buffer that only its exit flushes.
    const std::uintmax_t flushedAtLeast = expectedPacketsPerCaller * kPacketSize - kStdioBuffer;
    for (FileCaller& caller : callers) {
        EXPECT_TRUE(waitUntil([&] { return caller.size() >= flushedAtLeast; }, 20s, 50ms))
            << caller.file << " holds " << caller.size() << " bytes";
    }
    // The last chunks may still wait out the SRT latency (500 ms) in the caller.
    std::this_thread::sleep_for(1500ms);
    for (FileCaller& caller : callers) {
        caller.process->stop();
    }
}

ToolRun publishOnce(const ServerFixture& fixture, const std::vector<std::string>& options) {
    const ToolRun published = fixture.publish(options);
    EXPECT_EQ(published.status, 0) << published.output;
    EXPECT_EQ(published.number("send_errors"), 0u) << published.json;
    return published;
}

// Publishes, then collects what the callers received.
ToolRun publishTo(const ServerFixture& fixture, std::vector<FileCaller>& callers,
                  const std::vector<std::string>& publisherOptions,
                  std::uint64_t expectedPacketsPerCaller) {
    const ToolRun published = publishOnce(fixture, publisherOptions);
    collect(callers, expectedPacketsPerCaller);
    return published;
}

// 7000 single-packet datagrams (whole chunks only: a partial one is never sent), with one of
// `injectSize` bytes after every `injectEvery` of them (0: none), must reach one caller as
// the whole stream.
void publishSinglePacketsToOneCaller(const ServerFixture& fixture, std::uint64_t injectEvery,
                                     std::uint64_t injectSize) {
    std::vector<FileCaller> callers = connectFileCallers(fixture, 1);
    const ToolRun published =
        publishTo(fixture, callers,
                  {"--size", "188", "--count", "7000", "--bitrate", "4000000", "--inject-every",
                   std::to_string(injectEvery), "--inject-size", std::to_string(injectSize)},
                  7000);
    EXPECT_EQ(published.number("injected"), injectEvery == 0 ? 0 : 7000 / injectEvery)
        << published.json;
    expectWholeStream(callers[0], published);
}

// ---- Delivery of the input to callers ---------------------------------------------------

// Guards against chunks lost, reordered, duplicated or altered between the receiver and the
// callers, against callers stealing each other's chunks, and against a tail left in a buffer.
TEST(DataPathDelivery, ThreeCallersEachReceiveTheWholeStreamByteExact) {
    ServerFixture fixture;
    std::vector<FileCaller> callers = connectFileCallers(fixture, 3);
    const std::uint64_t datagrams = 2000;
    const ToolRun published =
        publishTo(fixture, callers, {"--count", std::to_string(datagrams), "--bitrate", "8000000"},
                  datagrams * kPacketsPerChunk);
    ASSERT_EQ(published.number("packets"), datagrams * kPacketsPerChunk) << published.json;
    for (const FileCaller& caller : callers) {
        expectWholeStream(caller, published);
    }
    fixture.expectCleanStop();
}

// Guards against the receiver treating one datagram as one chunk: single TS packets must be
// gathered into the same 1316-byte chunks.
TEST(DataPathDelivery, SinglePacketDatagramsGiveTheSameStream) {
    ServerFixture fixture;
    publishSinglePacketsToOneCaller(fixture, 0, 0);
    fixture.expectCleanStop();
}

// Guards against an empty datagram being taken for an error or a chunk boundary. Every third
// one lands inside a partly filled chunk.
TEST(DataPathDelivery, EmptyDatagramsChangeNothing) {
    ServerFixture fixture;
    publishSinglePacketsToOneCaller(fixture, 3, 0);
    EXPECT_TRUE(fixture.process->running());
    fixture.expectCleanStop();
}

// Guards against an oversize datagram being forwarded truncated (junk in the stream),
// disturbing a partly filled chunk, or stopping the receiver.
TEST(DataPathDelivery, OversizeDatagramsAreDroppedAndTheStreamGoesOn) {
    ServerFixture fixture;
    publishSinglePacketsToOneCaller(fixture, 10, 2000);
    EXPECT_TRUE(fixture.waitForLog(
        "-- dropped datagram of 2000 bytes (longer than 1316), dropped so far: 1  leftserver", 5s))
        << fixture.log();
    fixture.expectCleanStop();
}

// Guards against the stream not being a usable transport stream for real players: a video
// made by ffmpeg goes in by multicast and ffprobe, reading from the server over SRT, finds it.
TEST(DataPathDelivery, FfmpegTransportStreamIsRecognisedByFfprobeOverSrt) {
    ServerFixture fixture;
    auto encoder = startEncoder(fixture.source.group, fixture.source.port,
                                {"-t", "30", "-c:v", "mpeg2video", "-b:v", "1M"}, fixture.dir());
    std::this_thread::sleep_for(1s);
    auto probe =
        Process::start({"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-i",
                        "srt://127.0.0.1:" + std::to_string(fixture.srtPort) + "?timeout=5000000"},
                       fixture.dir(), fixture.dir() / "ffprobe.log");
    const ToolRun probed = finish(*probe, 30s);
    EXPECT_EQ(probed.status, 0) << probed.output;
    EXPECT_TRUE(contains(probed.output, "codec_type=video")) << probed.output;
    EXPECT_TRUE(contains(probed.output, "codec_name=mpeg2video")) << probed.output;
    EXPECT_TRUE(encoder->running()) << encoder->output();
    encoder->stop();
    fixture.expectCleanStop();
}

// ---- Callers that come and go -----------------------------------------------------------

// Guards against a caller that vanishes (no SRT shutdown) never being removed, its thread
// never joined, and against its removal disturbing the callers that stay.
TEST(DataPathCallers, KilledCallerIsRemovedAndOthersSeeNoGap) {
    ServerFixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    auto steady = fixture.startCallers(2, 16);
    auto victim = fixture.startCallers(1, 60);
    ASSERT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 15s, 3)) << fixture.log();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(fixture.countInLog("stop srt recv"), 0) << fixture.log();

    victim->sendSignal(SIGKILL);
    EXPECT_EQ(victim->waitExit(5s), kSigkill);
    const auto killedAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(fixture.waitForLog("stop srt recv", kKilledCallerNoticed)) << fixture.log();
    const auto stoppedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - killedAt);
    EXPECT_TRUE(fixture.waitForLog("REMOVE", kKilledCallerNoticed - stoppedAfter)) << fixture.log();
    EXPECT_TRUE(fixture.waitForLog("del client (try del thread)", 2s)) << fixture.log();
    // Only the killed caller has gone so far, and the log says how.
    EXPECT_EQ(fixture.countInLog("stop srt recv"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog(") ended: connection lost; connected "), 1) << fixture.log();

    expectLossless(finish(*steady, 30s), 2, "steady callers");
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against a burst of simultaneous callers being refused (listen backlog) or lost
// between accept and the registry.
TEST(DataPathCallers, TwentySimultaneousCallersAreAllAccepted) {
    ServerFixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    const ToolRun run = fixture.runCallers(20, 2, 60s, {"--stagger-ms", "0"});
    EXPECT_EQ(run.number("connected"), 20u) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(fixture.waitForLog("accept new client", 5s, 20)) << fixture.log();
    EXPECT_EQ(fixture.countInLog("accept new client"), 20) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
    // Each caller hung up cleanly: a failed send ends it, not nine statistics warnings.
    EXPECT_EQ(fixture.countInLog("-- ERR: send  clienthandler"), 20) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- WARN: stat not available"), 0) << fixture.log();
    EXPECT_EQ(fixture.countInLog(") ended: hung up; connected "), 20) << fixture.log();
}

// Guards against fan-out faults that show only with many callers at once: chunks skipped
// or altered for some callers, callers dropped or starved. No timing is asserted.
TEST(DataPathCallers, TwentyCallersAtFourMegabitsReceiveEverything) {
    ServerFixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "4000000"});
    const int seconds = 15;
    // Under a sanitizer both ends run several times slower; a generous caller latency keeps
    // that slowness from turning into SRT's too-late drops, which would read as lost chunks.
    const ToolRun run =
        fixture.runCallers(20, seconds, 90s, {"--stagger-ms", "0", "--latency", "3000"});
    expectLossless(run, 20, "20 callers");
    // A caller the server stopped feeding would show no gap, only too few packets; half the
    // published amount is a bound no working server misses.
    const std::uint64_t published = 4'000'000 / 8 / kPacketSize * seconds;
    EXPECT_GE(run.number("per_caller_min_packets").value_or(0), published / 2) << run.json;
    publisher->stop();
    fixture.expectCleanStop();
}

// ---- SRT settings -----------------------------------------------------------------------

constexpr const char* kPassphrase = "correct-horse-42";

// Guards against a passphrase that is set but not enforced, and against encryption that
// garbles what a rightful caller receives.
TEST(DataPathSrtSettings, PassphraseAdmitsOnlyCallersThatKnowIt) {
    ServerFixture fixture({std::string("passphrase=") + kPassphrase});
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    expectLossless(fixture.runCallers(1, 2, 30s, {"--passphrase", kPassphrase}), 1, "rightful");
    const std::vector<std::vector<std::string>> refused{{}, {"--passphrase", "not-the-passphrase"}};
    for (const auto& extra : refused) {
        const ToolRun run = fixture.runCallers(1, 1, 30s, extra);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(run.number("connected"), 0u) << run.json;
        EXPECT_EQ(run.number("packets"), 0u) << run.json;
    }
    EXPECT_EQ(fixture.countInLog("accept new client"), 1) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against a caller that keeps retrying a refused handshake flooding the log (libsrt's
// own lines included) without ever naming its address.
TEST(DataPathSrtSettings, RetriedWrongPassphraseIsLoggedOncePerTenSecondsWithItsAddress) {
    ServerFixture fixture({std::string("passphrase=") + kPassphrase});
    const std::string command =
        "exec /usr/bin/srt-live-transmit -q 'srt://127.0.0.1:" + std::to_string(fixture.srtPort) +
        "?passphrase=not-the-passphrase' file://con >/dev/null 2>&1";
    auto retrying =
        Process::start({"/bin/sh", "-c", command}, fixture.dir(), fixture.dir() / "retrying.log");
    EXPECT_TRUE(fixture.waitForLog("-- caller 127.0.0.1:", 5s)) << fixture.log();
    std::this_thread::sleep_for(4s);
    retrying->stop();
    EXPECT_GE(fixture.countInLog("not connected: wrong passphrase"), 1) << fixture.log();
    EXPECT_LE(fixture.countInLog("not connected: wrong passphrase"), 2) << fixture.log();
    EXPECT_EQ(fixture.countInLog("LISTEN CALLBACK HOOK"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("BADSECRET"), 0) << fixture.log();
    EXPECT_EQ(fixture.countInLog("accept new client"), 0) << fixture.log();
    fixture.expectCleanStop();
}

// Guards against a passphrase SRT refuses silently leaving the server open to everyone.
TEST(DataPathSrtSettings, TooShortPassphraseStopsTheStart) {
    const ToolRun run = ServerInstance().runToExit(
        {uniqueSource().setting(), "port=" + std::to_string(freeUdpPort()),
         "webport=" + std::to_string(freeTcpPort()), "passphrase=short"});
    EXPECT_EQ(run.status, 255) << run.output;
    EXPECT_TRUE(contains(run.output, "-- failed to set option SRTO_PASSPHRASE")) << run.output;
    EXPECT_TRUE(contains(run.output, "-- passphrase refused by SRT")) << run.output;
    EXPECT_FALSE(contains(run.output, "-- used iface")) << run.output;
}

// Guards against latency=0 not selecting file mode, and against file mode breaking the
// stream for a file-mode caller (which receives a byte stream, not messages).
TEST(DataPathSrtSettings, LatencyZeroServesFileModeCallersWithoutGaps) {
    ServerFixture fixture({"latency=0"});
    EXPECT_TRUE(fixture.waitForLog("ttype FILE mode", 1s)) << fixture.log();
    auto publisher = fixture.startPublisher({"--bitrate", "4000000"});
    const ToolRun run = fixture.runCallers(1, 4, 30s, {"--file-mode"});
    expectLossless(run, 1, "file-mode caller");
    EXPECT_GT(run.number("packets").value_or(0), 1000u) << run.json;
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against the caller's stream id being lost before the listener callback, and against
// a caller writing lines (or terminal escapes) into the operator's log through it.
TEST(DataPathSrtSettings, CallerStreamIdReachesTheListenCallbackEscaped) {
    ServerFixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    EXPECT_EQ(fixture.runCallers(1, 1, 30s, {"--streamid", "abc"}).status, 0);
    const ToolRun forged =
        fixture.runCallers(1, 1, 30s, {"--streamid", "x\nREMOVE  rightserver  77\x1b[2J"});
    EXPECT_EQ(forged.status, 0) << forged.output;
    EXPECT_TRUE(fixture.waitForLog("LISTEN CALLBACK HOOKabc  ", 2s)) << fixture.log();
    EXPECT_TRUE(fixture.waitForLog(
        "LISTEN CALLBACK HOOKx\\x0aREMOVE  rightserver  77\\x1b[2J  utils  ", 2s))
        << fixture.log();
    EXPECT_FALSE(contains(fixture.log(), "\nREMOVE  rightserver  77")) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
}

// ---- An input that stops, or never comes -------------------------------------------------

// Guards against a publisher pause disturbing connected callers, and against a silent input
// going unnoticed: one line when it stops, one when it comes back, with the gap.
TEST(DataPathInput, StalledInputIsReportedAndCallersGetTheResumedStream) {
    ServerFixture fixture({"input_timeout=1000"});
    auto callers = fixture.startCallers(2, 9);
    ASSERT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 10s, 2)) << fixture.log();
    const ToolRun first = fixture.publish({"--bitrate", "2000000", "--seconds", "2"});
    EXPECT_TRUE(fixture.waitForLog("-- input stalled: no datagram for 1000 ms  inputmonitor", 3s))
        << fixture.log();
    std::this_thread::sleep_for(1s);
    const std::string next = std::to_string(first.number("last_seq").value_or(0) + 1);
    fixture.publish({"--bitrate", "2000000", "--seconds", "2", "--start-seq", next});
    EXPECT_TRUE(fixture.waitForLog("-- input resumed after ", 3s)) << fixture.log();
    expectLossless(finish(*callers, 30s), 2, "callers across the pause");
    EXPECT_EQ(fixture.countInLog("-- input resumed after "), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- no input"), 0) << fixture.log();
    fixture.expectCleanStop();
}

// Guards against a group that nothing sends to staying silent for ever: one hint naming the
// group, port and the interface the join used.
TEST(DataPathInput, InputThatNeverArrivesGetsOneHint) {
    ServerFixture fixture({"input_timeout=0"});
    const std::string hint = "-- no input: nothing received from udp://" + fixture.source.group +
                             ":" + std::to_string(fixture.source.port) + " in ";
    EXPECT_TRUE(fixture.waitForLog(hint, 8s)) << fixture.log();
    EXPECT_TRUE(contains(fixture.log(), "ms, joined on 127.0.0.1 (lo); check ")) << fixture.log();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(fixture.countInLog("-- no input"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- input stalled"), 0) << fixture.log();
    fixture.expectCleanStop();
}

// ---- RTP input ----------------------------------------------------------------------------

// Guards against RTP header parts (the longest CSRC list, extension and padding, in a datagram
// of 2047 bytes) reaching the callers as stream bytes, or a datagram cut at the receive buffer,
// and against a new stream (each run has its own SSRC) losing or repeating anything.
TEST(DataPathRtp, HeaderShapesGiveTheWholeStream) {
    ServerFixture fixture;
    std::vector<FileCaller> callers = connectFileCallers(fixture, 1);
    const std::vector<std::vector<std::string>> shapes{
        {},
        {"--rtp-csrc", "15", "--rtp-extension-words", "100", "--rtp-padding", "255"},
        {"--rtp-csrc", "1", "--rtp-padding", "1"},
    };
    constexpr std::uint64_t kDatagramsPerShape = 300;
    std::uint64_t next = 0;
    for (const std::vector<std::string>& shape : shapes) {
        std::vector<std::string> options{"--rtp",       "--bitrate",          "8000000",
                                         "--start-seq", std::to_string(next), "--count"};
        options.push_back(std::to_string(kDatagramsPerShape));
        options.insert(options.end(), shape.begin(), shape.end());
        EXPECT_EQ(publishOnce(fixture, options).number("datagrams"), kDatagramsPerShape);
        next += kDatagramsPerShape * kPacketsPerChunk;
    }
    collect(callers, next);
    expectWholeStream(callers[0], {0, next - 1, next, 0});
    EXPECT_EQ(fixture.countInLog("-- dropped"), 0) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- input format: rtp  leftserver"), 1) << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- input format changed"), 0) << fixture.log();
    fixture.expectCleanStop();
}

// Guards against RTP faults reaching the callers: duplicates and packets out of order must be
// mended before the chunks are cut, so callers (srt-live-transmit, and the load client's two)
// miss exactly the packets of the dropped datagrams; and against an SSRC change read as loss.
TEST(DataPathRtp, InjectedFaultsLeaveOnlyTheDroppedPacketsMissing) {
    ServerFixture fixture;
    auto loadCallers = fixture.startCallers(2, 14);
    std::vector<FileCaller> callers = connectFileCallers(fixture, 1);
    ASSERT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 5s, 3)) << fixture.log();
    // clang-format off
    const std::vector<std::string> faults{
        "--rtp", "--count", "3000", "--bitrate", "4000000", "--rtp-seq", "65000",
        "--rtp-ssrc", "1000", "--rtp-csrc", "2", "--rtp-extension-words", "1",
        "--rtp-padding", "4", "--rtp-drop", "100,1000,1001", "--rtp-dup", "200,2000",
        "--rtp-swap", "300,1500", "--rtp-delay", "2500:3", "--rtp-ssrc-change", "2800"};
    // clang-format on
    const ToolRun published = publishTo(fixture, callers, faults, (3000 - 3) * kPacketsPerChunk);
    const std::uint64_t missing = 3 * kPacketsPerChunk;
    ASSERT_EQ(published.number("packets"), (3000 - 3) * kPacketsPerChunk) << published.json;
    for (const char* field :
         {"\"dropped\":3", "\"duplicated\":2", "\"reordered\":3", "\"ssrc_changes\":1"}) {
        EXPECT_TRUE(contains(published.json, field)) << field << " in " << published.json;
    }
    expectWholeStream(callers[0], published, missing);

    const ToolRun load = finish(*loadCallers, 30s);
    EXPECT_EQ(load.number("connected"), 2u) << load.json;
    EXPECT_EQ(load.number("gaps"), 2 * missing) << load.json;
    EXPECT_EQ(load.number("duplicates"), 0u) << load.json;
    EXPECT_EQ(load.number("corrupt"), 0u) << load.json;
    EXPECT_EQ(load.number("per_caller_min_packets"), published.number("packets")) << load.json;
    // The new SSRC comes more than the log's five-second quiet time after the first stream.
    EXPECT_TRUE(fixture.waitForLog("-- RTP stream: ssrc 1001, payload type 33, from sequence "
                                   "2264, restarts so far: 1  rtpinput",
                                   1s))
        << fixture.log();
    EXPECT_EQ(fixture.countInLog("-- dropped"), 0) << fixture.log();
    fixture.expectCleanStop();
}

// ---- Start-up failures of the data path -------------------------------------------------

// stdin is /dev/null, so a fatal error must not wait for Enter.
ToolRun runUntilItFails(std::vector<std::string> settings) {
    settings.push_back("webport=" + std::to_string(freeTcpPort()));
    const ToolRun run = ServerInstance().runToExit(settings, 8s);
    EXPECT_EQ(run.status, 255) << run.output;
    return run;
}

// Guards against a bad interface text being taken for "any interface" (joining the group
// on the wrong network), or the server hanging on its way out.
TEST(DataPathStartFailures, InterfaceThatIsNotAnAddress) {
    const MulticastSource source = uniqueSource();
    const ToolRun run = runUntilItFails(
        {"source=udp://" + source.group + ":" + std::to_string(source.port) + "(notanip)",
         "port=" + std::to_string(freeUdpPort())});
    EXPECT_TRUE(contains(run.output, "ERROR: interface is not an IPv4 address: notanip"))
        << run.output;
}

// Guards against a second server silently sharing or stealing the SRT port.
TEST(DataPathStartFailures, SrtPortInUse) {
    const Socket holder(SOCK_DGRAM);
    ASSERT_TRUE(holder.bindLoopback());
    const int port = holder.localPort();
    const ToolRun run = runUntilItFails({uniqueSource().setting(), "port=" + std::to_string(port)});
    EXPECT_TRUE(contains(run.output, "srt_bind: ")) << run.output;
    EXPECT_TRUE(contains(run.output, "start right server to " + std::to_string(port) + " sock:0"))
        << run.output;
    EXPECT_TRUE(contains(run.output, "The server is already running on this port. Please, close "
                                     "previous or change port in ini file !!!"))
        << run.output;
    EXPECT_FALSE(contains(run.output, "-- used iface")) << run.output;
}

// Guards against a bad listener address falling back to all interfaces.
TEST(DataPathStartFailures, SrtNicThatIsNotAnAddress) {
    const ToolRun run = runUntilItFails(
        {uniqueSource().setting(), "port=" + std::to_string(freeUdpPort()), "srt_nic=not.an.ip"});
    EXPECT_TRUE(contains(run.output, "--fail init_pton FAILED")) << run.output;
    EXPECT_TRUE(contains(run.output, "The server is already running on this port.")) << run.output;
}

// Guards against a unicast "group" being accepted as if a join had happened, or the server
// hanging on its way out.
TEST(DataPathStartFailures, GroupThatIsNotMulticast) {
    const ToolRun run =
        runUntilItFails({"source=udp://127.0.0.1:" + std::to_string(freeUdpPort()) + "(127.0.0.1)",
                         "port=" + std::to_string(freeUdpPort())});
    EXPECT_TRUE(contains(run.output, "ERROR: setsockopt IP_ADD_MEMBERSHIP failed: ")) << run.output;
}

} // namespace
} // namespace vandra::e2e
