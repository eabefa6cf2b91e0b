#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

// The data path from multicast input to SRT callers, driven with the real server, the test
// tools, srt-live-transmit and ffmpeg, all on loopback.
namespace vandra::e2e {
namespace {

constexpr std::uint64_t kPacketSize = 188;
constexpr std::uint64_t kPacketsPerChunk = 7;
constexpr int kSigterm = 128 + SIGTERM;
// SRT notices a peer that vanished without a word only when its idle timeout (about 5 s)
// runs out, and the registry reaps finished callers every 3 s.
constexpr auto kKilledCallerNoticed = 12s;
// A caller that closed is noticed at once; one that vanished only by that timeout.
constexpr auto kCallerGoneAndReaped = kKilledCallerNoticed;
constexpr std::uintmax_t kStdioBuffer = 8192;

// ---- Tool output ------------------------------------------------------------------------

// The tools report on one JSON line; their warnings go to the same log.
std::string jsonLine(const std::string& output) {
    std::string found;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        if (output[start] == '{') {
            found = output.substr(start, end - start);
        }
        start = end + 1;
    }
    return found;
}

// A non-negative integer field of a flat JSON object; empty when absent or null.
std::optional<std::uint64_t> jsonNumber(const std::string& json, const std::string& key) {
    const std::string label = "\"" + key + "\":";
    const size_t at = json.find(label);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    size_t digit = at + label.size();
    if (digit >= json.size() || json[digit] < '0' || json[digit] > '9') {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (; digit < json.size() && json[digit] >= '0' && json[digit] <= '9'; ++digit) {
        value = value * 10 + static_cast<std::uint64_t>(json[digit] - '0');
    }
    return value;
}

struct ToolRun {
    int status = -1; // -1: had to be stopped
    std::string output;
    std::string json;

    std::optional<std::uint64_t> number(const std::string& key) const {
        return jsonNumber(json, key);
    }
};

ToolRun finish(Process& process, std::chrono::milliseconds timeout) {
    ToolRun run;
    const std::optional<int> status = process.waitExit(timeout);
    if (!status) {
        process.stop();
    }
    run.status = status.value_or(-1);
    run.output = process.output();
    run.json = jsonLine(run.output);
    return run;
}

ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                const std::filesystem::path& dir, std::chrono::milliseconds timeout) {
    auto process = startTool(name, args, dir);
    return finish(*process, timeout);
}

ToolRun checkReceivedFile(const std::filesystem::path& file) {
    return runTool("vandra-tscheck", {file.string()}, file.parent_path(), 30s);
}

// ---- Server and input -------------------------------------------------------------------

std::vector<std::string> publisherArgs(const MulticastSource& source,
                                       const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--group", source.group, "--port", std::to_string(source.port),
                                  "--iface", "127.0.0.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A server on its own group and SRT port.
struct Fixture {
    MulticastSource source = uniqueSource();
    int srtPort = freeUdpPort();
    RunningServer server;

    explicit Fixture(const std::vector<std::string>& settings = {})
        : server(startServer(source, srtPort, settings)) {}

    const std::filesystem::path& dir() const { return server.instance->dir(); }
    std::string log() const { return server.process->output(); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout,
                    int occurrences = 1) const {
        return server.process->waitForOutput(text, timeout, occurrences);
    }
    int countInLog(const std::string& text) const { return server.process->countInOutput(text); }

    // Runs until stopped; the callers of the test find a stream whenever they connect.
    std::unique_ptr<Process> startPublisher(const std::vector<std::string>& extra) const {
        return startTool("vandra-publisher", publisherArgs(source, extra), dir());
    }
    ToolRun publish(const std::vector<std::string>& extra) const {
        return runTool("vandra-publisher", publisherArgs(source, extra), dir(), 60s);
    }

    std::vector<std::string> loadClientArgs(const std::vector<std::string>& extra) const {
        std::vector<std::string> args{"--host", "127.0.0.1", "--port", std::to_string(srtPort)};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    ToolRun loadClient(const std::vector<std::string>& extra, std::chrono::milliseconds timeout) {
        return runTool("vandra-loadclient", loadClientArgs(extra), dir(), timeout);
    }

    // Every caller that connected has gone by now; each must have been reaped (its thread
    // joined) before the server is stopped. A running server ends only from outside; a
    // sanitizer report would end it earlier.
    void expectCleanStop() const {
        const int accepted = countInLog("accept new client");
        EXPECT_TRUE(waitForLog("del client (try del thread)", kCallerGoneAndReaped, accepted))
            << log();
        const int status = server.process->stop();
        const std::string text = log();
        EXPECT_EQ(status, kSigterm) << text;
        EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
    }
};

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

    bool waitForBytes(std::uintmax_t bytes, std::chrono::milliseconds timeout) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (size() < bytes && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
        return size() >= bytes;
    }
};

// What a caller that was connected before the first datagram must have received: every
// packet the publisher sent, in order, unchanged, and nothing else.
void expectWholeStream(const FileCaller& caller, const ToolRun& published) {
    const ToolRun check = checkReceivedFile(caller.file);
    SCOPED_TRACE(caller.file.string() + ": " + check.json);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.number("gaps"), 0u);
    EXPECT_EQ(check.number("duplicates"), 0u);
    EXPECT_EQ(check.number("corrupt"), 0u);
    EXPECT_EQ(check.number("trailing_bytes"), 0u);
    EXPECT_EQ(check.number("first_seq"), published.number("first_seq"));
    EXPECT_EQ(check.number("last_seq"), published.number("last_seq"));
    EXPECT_EQ(check.number("packets"), published.number("packets"));
}

// Connects `count` file callers and waits until the server runs a sending loop for each, so
// that every one of them has its buffer before the input starts.
std::vector<FileCaller> connectFileCallers(const Fixture& fixture, int count) {
    std::vector<FileCaller> callers;
    for (int i = 0; i < count; ++i) {
        callers.emplace_back(fixture.dir(), "caller" + std::to_string(i), fixture.srtPort);
    }
    EXPECT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 15s, count)) << fixture.log();
    // The buffer is made right after that line.
    std::this_thread::sleep_for(300ms);
    return callers;
}

// Publishes, waits until every caller holds all the bytes it should, then stops them.
ToolRun publishTo(const Fixture& fixture, std::vector<FileCaller>& callers,
                  const std::vector<std::string>& publisherOptions,
                  std::uint64_t expectedPacketsPerCaller) {
    const ToolRun published = fixture.publish(publisherOptions);
    EXPECT_EQ(published.status, 0) << published.output;
    EXPECT_EQ(published.number("send_errors"), 0u) << published.json;
    // srt-live-transmit writes through a stdio buffer that only its exit flushes.
    const std::uintmax_t flushedAtLeast = expectedPacketsPerCaller * kPacketSize - kStdioBuffer;
    for (FileCaller& caller : callers) {
        EXPECT_TRUE(caller.waitForBytes(flushedAtLeast, 20s))
            << caller.file << " holds " << caller.size() << " bytes";
    }
    // The last chunks may still wait out the SRT latency (500 ms) in the caller.
    std::this_thread::sleep_for(1500ms);
    for (FileCaller& caller : callers) {
        caller.process->stop();
    }
    return published;
}

// ---- Delivery of the input to callers ---------------------------------------------------

// Guards against chunks lost, reordered, duplicated or altered between the receiver and the
// callers, against callers stealing each other's chunks, and against a tail left in a buffer.
TEST(DataPathDelivery, ThreeCallersEachReceiveTheWholeStreamByteExact) {
    Fixture fixture;
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
    Fixture fixture;
    std::vector<FileCaller> callers = connectFileCallers(fixture, 1);
    const std::uint64_t datagrams = 7000; // whole chunks only: a partial one is never sent
    const ToolRun published = publishTo(
        fixture, callers,
        {"--size", "188", "--count", std::to_string(datagrams), "--bitrate", "4000000"}, datagrams);
    expectWholeStream(callers[0], published);
    fixture.expectCleanStop();
}

// Guards against an empty datagram being taken for an error or a chunk boundary. Every third
// one lands inside a partly filled chunk.
TEST(DataPathDelivery, EmptyDatagramsChangeNothing) {
    Fixture fixture;
    std::vector<FileCaller> callers = connectFileCallers(fixture, 1);
    const std::uint64_t datagrams = 7000;
    const ToolRun published =
        publishTo(fixture, callers,
                  {"--size", "188", "--count", std::to_string(datagrams), "--bitrate", "4000000",
                   "--inject-every", "3", "--inject-size", "0"},
                  datagrams);
    EXPECT_EQ(published.number("injected"), datagrams / 3) << published.json;
    expectWholeStream(callers[0], published);
    EXPECT_TRUE(fixture.server.process->running());
    fixture.expectCleanStop();
}

// Guards against an oversize datagram being forwarded truncated (junk in the stream),
// disturbing a partly filled chunk, or stopping the receiver.
TEST(DataPathDelivery, OversizeDatagramsAreDroppedAndTheStreamGoesOn) {
    Fixture fixture;
    std::vector<FileCaller> callers = connectFileCallers(fixture, 1);
    const std::uint64_t datagrams = 7000;
    const ToolRun published =
        publishTo(fixture, callers,
                  {"--size", "188", "--count", std::to_string(datagrams), "--bitrate", "4000000",
                   "--inject-every", "10", "--inject-size", "2000"},
                  datagrams);
    EXPECT_EQ(published.number("injected"), datagrams / 10) << published.json;
    expectWholeStream(callers[0], published);
    EXPECT_TRUE(fixture.waitForLog(
        "-- dropped datagram of 2000 bytes (longer than 1316), dropped so far: 1  leftserver", 5s))
        << fixture.log();
    fixture.expectCleanStop();
}

// Guards against the stream not being a usable transport stream for real players: a video
// made by ffmpeg goes in by multicast and ffprobe, reading from the server over SRT, finds it.
TEST(DataPathDelivery, FfmpegTransportStreamIsRecognisedByFfprobeOverSrt) {
    Fixture fixture;
    // ffmpeg sets no multicast interface; bound to 127.0.0.1 its datagrams leave through
    // loopback all the same.
    const std::string output = "udp://" + fixture.source.group + ":" +
                               std::to_string(fixture.source.port) +
                               "?pkt_size=1316&localaddr=127.0.0.1&ttl=1";
    auto encoder =
        Process::start({"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
                        "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "30", "-c:v",
                        "mpeg2video", "-b:v", "1M", "-f", "mpegts", output},
                       fixture.dir(), fixture.dir() / "ffmpeg.log");
    std::this_thread::sleep_for(1s);
    auto probe =
        Process::start({"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-i",
                        "srt://127.0.0.1:" + std::to_string(fixture.srtPort) + "?timeout=5000000"},
                       fixture.dir(), fixture.dir() / "ffprobe.log");
    const ToolRun probed = finish(*probe, 30s);
    EXPECT_EQ(probed.status, 0) << probed.output;
    EXPECT_NE(probed.output.find("codec_type=video"), std::string::npos) << probed.output;
    EXPECT_NE(probed.output.find("codec_name=mpeg2video"), std::string::npos) << probed.output;
    EXPECT_TRUE(encoder->running()) << encoder->output();
    encoder->stop();
    fixture.expectCleanStop();
}

// ---- Callers that come and go -----------------------------------------------------------

std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// Guards against a caller that vanishes (no SRT shutdown) never being removed, its thread
// never joined, and against its removal disturbing the callers that stay.
TEST(DataPathCallers, KilledCallerIsRemovedAndOthersSeeNoGap) {
    Fixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    auto steady =
        startTool("vandra-loadclient",
                  fixture.loadClientArgs({"--callers", "2", "--seconds", "16"}), fixture.dir());
    auto victim =
        startTool("vandra-loadclient",
                  fixture.loadClientArgs({"--callers", "1", "--seconds", "60"}), fixture.dir());
    ASSERT_TRUE(fixture.waitForLog("-- start ClientHandler loop", 15s, 3)) << fixture.log();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(fixture.countInLog("stop srt recv"), 0) << fixture.log();

    victim->sendSignal(SIGKILL);
    EXPECT_EQ(victim->waitExit(5s), 128 + SIGKILL);
    const auto killedAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(fixture.waitForLog("stop srt recv", kKilledCallerNoticed)) << fixture.log();
    const auto stoppedAfter = since(killedAt);
    EXPECT_TRUE(fixture.waitForLog("REMOVE", kKilledCallerNoticed - stoppedAfter)) << fixture.log();
    EXPECT_TRUE(fixture.waitForLog("del client (try del thread)", 2s)) << fixture.log();
    const auto removedAfter = since(killedAt);
    std::printf("killed caller: sending loop stopped after %lld ms, removed after %lld ms\n",
                static_cast<long long>(stoppedAfter.count()),
                static_cast<long long>(removedAfter.count()));
    // Only the killed caller has gone so far.
    EXPECT_EQ(fixture.countInLog("stop srt recv"), 1) << fixture.log();

    const ToolRun stayed = finish(*steady, 30s);
    EXPECT_EQ(stayed.status, 0) << stayed.output;
    EXPECT_EQ(stayed.number("connected"), 2u) << stayed.json;
    EXPECT_EQ(stayed.number("disconnected"), 0u) << stayed.json;
    EXPECT_EQ(stayed.number("gaps"), 0u) << stayed.json;
    EXPECT_EQ(stayed.number("corrupt"), 0u) << stayed.json;
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against a burst of simultaneous callers being refused (listen backlog) or lost
// between accept and the registry.
TEST(DataPathCallers, TwentySimultaneousCallersAreAllAccepted) {
    Fixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    const ToolRun run =
        fixture.loadClient({"--callers", "20", "--stagger-ms", "0", "--seconds", "2"}, 60s);
    EXPECT_EQ(run.number("connected"), 20u) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(fixture.waitForLog("accept new client", 5s, 20)) << fixture.log();
    EXPECT_EQ(fixture.countInLog("accept new client"), 20) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against fan-out faults that show only with many callers at once: chunks skipped
// or altered for some callers, callers dropped or starved. No timing is asserted.
TEST(DataPathCallers, TwentyCallersAtFourMegabitsReceiveEverything) {
    Fixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "4000000"});
    const int seconds = 15;
    // Under a sanitizer both ends run several times slower; a generous caller latency keeps
    // that slowness from turning into SRT's too-late drops, which would read as lost chunks.
    const ToolRun run = fixture.loadClient({"--callers", "20", "--stagger-ms", "0", "--seconds",
                                            std::to_string(seconds), "--latency", "3000"},
                                           90s);
    SCOPED_TRACE(run.json);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.number("connected"), 20u);
    EXPECT_EQ(run.number("disconnected"), 0u);
    EXPECT_EQ(run.number("gaps"), 0u);
    EXPECT_EQ(run.number("duplicates"), 0u);
    EXPECT_EQ(run.number("corrupt"), 0u);
    // A caller the server stopped feeding would show no gap, only too few packets; half the
    // published amount is a bound no working server misses.
    const std::uint64_t published = 4'000'000 / 8 / kPacketSize * seconds;
    EXPECT_GE(run.number("per_caller_min_packets").value_or(0), published / 2);
    publisher->stop();
    fixture.expectCleanStop();
}

// ---- SRT settings -----------------------------------------------------------------------

constexpr const char* kPassphrase = "correct-horse-42";

// Guards against a passphrase that is set but not enforced, and against encryption that
// garbles what a rightful caller receives.
TEST(DataPathSrtSettings, PassphraseAdmitsOnlyCallersThatKnowIt) {
    Fixture fixture({std::string("passphrase=") + kPassphrase});
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});

    const ToolRun rightful =
        fixture.loadClient({"--passphrase", kPassphrase, "--seconds", "2"}, 30s);
    EXPECT_EQ(rightful.status, 0) << rightful.output;
    EXPECT_EQ(rightful.number("connected"), 1u) << rightful.json;
    EXPECT_EQ(rightful.number("gaps"), 0u) << rightful.json;
    EXPECT_EQ(rightful.number("corrupt"), 0u) << rightful.json;

    const ToolRun without = fixture.loadClient({"--seconds", "1"}, 30s);
    EXPECT_EQ(without.status, 1) << without.output;
    EXPECT_EQ(without.number("connected"), 0u) << without.json;
    EXPECT_EQ(without.number("packets"), 0u) << without.json;

    const ToolRun wrong =
        fixture.loadClient({"--passphrase", "not-the-passphrase", "--seconds", "1"}, 30s);
    EXPECT_EQ(wrong.status, 1) << wrong.output;
    EXPECT_EQ(wrong.number("connected"), 0u) << wrong.json;
    EXPECT_EQ(wrong.number("packets"), 0u) << wrong.json;

    EXPECT_EQ(fixture.countInLog("accept new client"), 1) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against a passphrase SRT refuses silently leaving the server open to everyone.
TEST(DataPathSrtSettings, TooShortPassphraseStopsTheStart) {
    ServerInstance instance;
    auto process = instance.run({uniqueSource().setting(), "port=" + std::to_string(freeUdpPort()),
                                 "webport=" + std::to_string(freeTcpPort()), "passphrase=short"});
    const std::optional<int> status = process->waitExit(10s);
    const std::string log = instance.stdoutLog();
    EXPECT_EQ(status, 255) << log;
    EXPECT_NE(log.find("-- failed to set option SRTO_PASSPHRASE"), std::string::npos) << log;
    EXPECT_NE(log.find("-- passphrase refused by SRT"), std::string::npos) << log;
    EXPECT_EQ(log.find("-- used iface"), std::string::npos) << log;
}

// Guards against latency=0 not selecting file mode, and against file mode breaking the
// stream for a file-mode caller (which receives a byte stream, not messages).
TEST(DataPathSrtSettings, LatencyZeroServesFileModeCallersWithoutGaps) {
    Fixture fixture({"latency=0"});
    EXPECT_TRUE(fixture.waitForLog("ttype FILE mode", 1s)) << fixture.log();
    auto publisher = fixture.startPublisher({"--bitrate", "4000000"});
    const ToolRun run = fixture.loadClient({"--file-mode", "--seconds", "4"}, 30s);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.number("connected"), 1u) << run.json;
    EXPECT_EQ(run.number("gaps"), 0u) << run.json;
    EXPECT_EQ(run.number("corrupt"), 0u) << run.json;
    EXPECT_GT(run.number("packets").value_or(0), 1000u) << run.json;
    publisher->stop();
    fixture.expectCleanStop();
}

// Guards against the caller's stream id being lost before the listener callback.
TEST(DataPathSrtSettings, CallerStreamIdReachesTheListenCallback) {
    Fixture fixture;
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    const ToolRun run = fixture.loadClient({"--streamid", "abc", "--seconds", "1"}, 30s);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(fixture.waitForLog("LISTEN CALLBACK HOOKabc  ", 2s)) << fixture.log();
    publisher->stop();
    fixture.expectCleanStop();
}

// ---- Start-up failures of the data path -------------------------------------------------

struct FailedStart {
    std::optional<int> status;
    std::string log;
};

// stdin is /dev/null, so a fatal error must not wait for Enter.
FailedStart runUntilItFails(const std::vector<std::string>& settings) {
    ServerInstance instance;
    std::vector<std::string> all = settings;
    all.push_back("webport=" + std::to_string(freeTcpPort()));
    auto process = instance.run(all);
    FailedStart result;
    result.status = process->waitExit(8s);
    result.log = instance.stdoutLog();
    return result;
}

bool has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
}

// Guards against a bad interface text being taken for "any interface" (joining the group
// on the wrong network), or the server hanging on its way out.
TEST(DataPathStartFailures, InterfaceThatIsNotAnAddress) {
    const MulticastSource source = uniqueSource();
    const FailedStart run = runUntilItFails(
        {"source=udp://" + source.group + ":" + std::to_string(source.port) + "(notanip)",
         "port=" + std::to_string(freeUdpPort())});
    EXPECT_EQ(run.status, 255) << run.log;
    EXPECT_TRUE(has(run.log, "ERROR: interface is not an IPv4 address: notanip")) << run.log;
}

// Guards against a second server silently sharing or stealing the SRT port.
TEST(DataPathStartFailures, SrtPortInUse) {
    const int port = freeUdpPort();
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const FailedStart run =
        runUntilItFails({uniqueSource().setting(), "port=" + std::to_string(port)});
    ::close(holder);
    EXPECT_EQ(run.status, 255) << run.log;
    EXPECT_TRUE(has(run.log, "srt_bind: ")) << run.log;
    EXPECT_TRUE(has(run.log, "start right server to " + std::to_string(port) + " sock:0"))
        << run.log;
    EXPECT_TRUE(has(run.log, "The server is already running on this port. Please, close "
                             "previous or change port in ini file !!!"))
        << run.log;
    EXPECT_FALSE(has(run.log, "-- used iface")) << run.log;
}

// Guards against a bad listener address falling back to all interfaces.
TEST(DataPathStartFailures, SrtNicThatIsNotAnAddress) {
    const FailedStart run = runUntilItFails(
        {uniqueSource().setting(), "port=" + std::to_string(freeUdpPort()), "srt_nic=not.an.ip"});
    EXPECT_EQ(run.status, 255) << run.log;
    EXPECT_TRUE(has(run.log, "--fail init_pton FAILED")) << run.log;
    EXPECT_TRUE(has(run.log, "The server is already running on this port.")) << run.log;
}

// Guards against a unicast "group" being accepted as if a join had happened, or the server
// hanging on its way out.
TEST(DataPathStartFailures, GroupThatIsNotMulticast) {
    const FailedStart run =
        runUntilItFails({"source=udp://127.0.0.1:" + std::to_string(freeUdpPort()) + "(127.0.0.1)",
                         "port=" + std::to_string(freeUdpPort())});
    EXPECT_EQ(run.status, 255) << run.log;
    EXPECT_TRUE(has(run.log, "ERROR: setsockopt IP_ADD_MEMBERSHIP failed: ")) << run.log;
}

} // namespace
} // namespace vandra::e2e
