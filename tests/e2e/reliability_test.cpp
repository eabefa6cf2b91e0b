#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

// Reliability under load, faults and bad input: the real server and tools as processes, on
// loopback or in network namespaces the tests create. Each test prints its figures on lines
// starting with "[figures]".
namespace vandra::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kTc = "/usr/sbin/tc";
constexpr const char* kWrk = "/usr/bin/wrk";
constexpr const char* kAcceptLine = "accept new client ";
constexpr const char* kRemoveLine = "\nREMOVE  ";
constexpr const char* kDeleteLine = "del client (try del thread)";
constexpr const char* kFellBehindLine = "-- caller fell more than ";
constexpr const char* kDroppedDatagramLine = "-- dropped datagram of ";
constexpr std::int64_t kMiB = 1024 * 1024;

// ---- Commands and network namespaces ------------------------------------------------------

ToolRun runCommand(const std::vector<std::string>& argv, const fs::path& logDir) {
    static int counter = 0;
    ToolRun run =
        finish(*Process::start(argv, logDir, logDir / ("cmd_" + std::to_string(counter++))), 15s);
    std::string command;
    for (const auto& arg : argv) {
        command += arg + " ";
    }
    run.output = command + "-> " + run.output;
    return run;
}

// Runs the commands in order; empty when all succeeded, else what failed and why.
std::string runAll(const std::vector<std::vector<std::string>>& commands, const fs::path& logDir) {
    for (const auto& argv : commands) {
        const ToolRun result = runCommand(argv, logDir);
        if (result.status != 0) {
            return result.output;
        }
    }
    return "";
}

// A network namespace that lives as long as this object; its links go with it. Processes
// started in it must be stopped first, or the namespace outlives its name.
class NetNamespace {
public:
    NetNamespace(const std::string& suffix, const fs::path& logDir)
        : name_("vrel" + std::to_string(::getpid()) + suffix), logDir_(logDir) {
        runCommand({kIp, "netns", "del", name_}, logDir_); // a leftover of a killed run
        error_ = runAll({{kIp, "netns", "add", name_}, ip({"link", "set", "lo", "up"})}, logDir_);
    }
    ~NetNamespace() { runCommand({kIp, "netns", "del", name_}, logDir_); }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }

    // The command run in this namespace; without one, what goes before it.
    std::vector<std::string> wrap(const std::vector<std::string>& argv = {}) const {
        std::vector<std::string> wrapped{kIp, "netns", "exec", name_};
        wrapped.insert(wrapped.end(), argv.begin(), argv.end());
        return wrapped;
    }
    std::vector<std::string> ip(const std::vector<std::string>& args) const {
        std::vector<std::string> command{kIp, "-n", name_};
        command.insert(command.end(), args.begin(), args.end());
        return command;
    }

private:
    std::string name_;
    fs::path logDir_;
    std::string error_;
};

// Commands that join two namespaces with a veth pair and give each end an address.
std::vector<std::vector<std::string>> vethCommands(const NetNamespace& a, const std::string& aIf,
                                                   const std::string& aAddress,
                                                   const NetNamespace& b, const std::string& bIf,
                                                   const std::string& bAddress) {
    std::vector<std::vector<std::string>> commands{
        a.ip({"link", "add", aIf, "type", "veth", "peer", "name", bIf, "netns", b.name()}),
        b.ip({"link", "set", bIf, "up"}),
        a.ip({"link", "set", aIf, "up"}),
    };
    if (!aAddress.empty()) {
        commands.push_back(a.ip({"addr", "add", aAddress, "dev", aIf}));
    }
    if (!bAddress.empty()) {
        commands.push_back(b.ip({"addr", "add", bAddress, "dev", bIf}));
    }
    return commands;
}

bool haveNamespaces() {
    return ::geteuid() == 0 && fs::exists(kIp);
}

// Namespaces with these name suffixes; a failure for each that could not be set up.
std::vector<std::unique_ptr<NetNamespace>> makeNamespaces(const std::vector<std::string>& suffixes,
                                                          const fs::path& logDir) {
    std::vector<std::unique_ptr<NetNamespace>> made;
    for (const auto& suffix : suffixes) {
        made.push_back(std::make_unique<NetNamespace>(suffix, logDir));
        EXPECT_TRUE(made.back()->ready()) << made.back()->error();
    }
    return made;
}

// A server started in a namespace, waiting until it has joined its group.
struct NamespacedServer {
    ServerInstance instance;
    std::unique_ptr<Process> process;

    NamespacedServer(const NetNamespace& ns, const std::vector<std::string>& settings)
        : process(instance.run(settings, ns.wrap())) {
        waitForJoin(*process);
    }
};

// ---- Raw sockets --------------------------------------------------------------------------

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// Sends the request target exactly as given (no normalisation on our side) and returns the
// whole response, or what arrived before the time ran out.
std::string rawHttpGet(int port, const std::string& target) {
    const Socket sock(SOCK_STREAM);
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(sock.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return "";
    }
    setReceiveTimeout(sock.fd(), 3s);
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(sock.fd(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return "";
    }
    std::string response;
    char buffer[16384];
    for (int reads = 0; reads < 1000; ++reads) {
        const ssize_t n = ::recv(sock.fd(), buffer, sizeof(buffer), 0);
        if (n <= 0) {
            break;
        }
        response.append(buffer, static_cast<size_t>(n));
    }
    return response;
}

int httpStatus(const std::string& response) {
    if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) {
        return -1;
    }
    return std::atoi(response.c_str() + 9);
}

std::string httpBody(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

// The first message of an SRT caller's handshake (induction): a 16-byte control header and
// the 48-byte handshake body, all big-endian.
std::vector<std::uint8_t> srtInductionRequest(std::uint32_t socketId, std::uint32_t firstSeq) {
    const std::uint32_t words[16] = {
        0x80000000u, // control packet, type handshake
        0,           // type-specific information
        0,           // timestamp
        0,           // destination socket: none yet
        4,           // handshake version a caller starts with
        2,           // socket type: datagram
        firstSeq,    // initial packet sequence number
        1500,        // MTU
        8192,        // flow window
        1,           // handshake type: induction
        socketId,    // caller's socket id
        0,           // SYN cookie: not known yet
        0x7f000001u, // peer address, IPv4 in the first of four words
        0,           0, 0,
    };
    std::vector<std::uint8_t> packet(sizeof(words));
    for (size_t i = 0; i < 16; ++i) {
        const std::uint32_t value = htonl(words[i]);
        std::memcpy(packet.data() + i * 4, &value, 4);
    }
    return packet;
}

std::uint32_t wordAt(const std::vector<std::uint8_t>& packet, size_t index) {
    std::uint32_t value = 0;
    std::memcpy(&value, packet.data() + index * 4, 4);
    return ntohl(value);
}

// ---- Callers that come and go -------------------------------------------------------------

constexpr int kSteadyCallers = 5;
constexpr int kWaves = 12;
constexpr int kCleanPerWave = 15;
constexpr int kKilledPerWave = 10;

TEST(ReliabilityChurn, ThreeHundredPassingCallersLeaveNoTraceAndSteadyOnesLoseNothing) {
    ServerFixture server({"latency=500"});
    const pid_t pid = server.process->pid();
    auto publisher = server.startPublisher({"--bitrate", "4000000"});
    std::this_thread::sleep_for(1s);
    const Footprint before = footprint(pid);
    ASSERT_GT(before.threads, 0);

    const auto start = std::chrono::steady_clock::now();
    auto steady = server.startCallers(kSteadyCallers, 45);
    ASSERT_TRUE(server.waitForLog(kAcceptLine, 10s, kSteadyCallers));

    // Each wave: some callers watch a second and hang up, the others are killed mid-stream
    // and never say goodbye, so the server only learns from SRT's idle timeout.
    Footprint peak = before;
    int churned = 0;
    for (int wave = 0; wave < kWaves; ++wave) {
        auto clean = server.startCallers(kCleanPerWave, 1);
        auto killed = server.startCallers(kKilledPerWave, 60);
        churned += kCleanPerWave + kKilledPerWave;
        ASSERT_TRUE(server.waitForLog(kAcceptLine, 10s, kSteadyCallers + churned))
            << "wave " << wave << " not accepted";
        std::this_thread::sleep_for(500ms);
        killed->sendSignal(SIGKILL);
        killed->waitExit(5s);
        expectLossless(finish(*clean, 15s), kCleanPerWave, "clean wave " + std::to_string(wave));
        const Footprint now = footprint(pid);
        peak.rssKb = std::max(peak.rssKb, now.rssKb);
        peak.threads = std::max(peak.threads, now.threads);
        peak.fds = std::max(peak.fds, now.fds);
        std::this_thread::sleep_for(800ms); // spreads the waves over the steady callers' time
    }
    const auto churnSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // The killed ones are noticed once SRT gives up on them (about 5 s) and reaped at the
    // next 3-second sample.
    EXPECT_TRUE(server.waitForLog(kRemoveLine, 20s, churned));
    EXPECT_EQ(server.countInLog(kRemoveLine), churned) << "steady callers removed?";
    EXPECT_TRUE(steady->running()) << "the steady callers ended early";

    const ToolRun steadyRun = finish(*steady, 60s);
    expectLossless(steadyRun, kSteadyCallers, "steady callers");
    EXPECT_TRUE(server.waitForLog(kRemoveLine, 15s, churned + kSteadyCallers));

    Footprint after;
    waitUntil(
        [&] {
            after = footprint(pid);
            return after.threads <= before.threads;
        },
        5s);
    for (const char* line : {kAcceptLine, kRemoveLine, kDeleteLine}) {
        EXPECT_EQ(server.countInLog(line), churned + kSteadyCallers) << line;
    }
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.rssKb, before.rssKb + 20 * 1024);
    EXPECT_LE(after.fds, before.fds + 2);
    EXPECT_TRUE(server.process->running());

    figure("churn: " + std::to_string(churned) + " passing callers (" +
           std::to_string(kWaves * kCleanPerWave) + " clean, " +
           std::to_string(kWaves * kKilledPerWave) + " killed) in " + std::to_string(churnSeconds) +
           " s; steady " + steadyRun.json);
    figure("churn: server before " + describe(before) + "; peak " + describe(peak) + "; after " +
           describe(after));
}

// ---- Slow and stalled callers -------------------------------------------------------------

TEST(ReliabilitySlowCallers, StalledAndThrottledCallersAreCutOffAndMemoryStaysBounded) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "needs root and iproute2 for network namespaces";
    }
    ScratchDir scratch("vandra_rel_");
    const auto namespaces = makeNamespaces({"srv", "slow"}, scratch.path());
    ASSERT_FALSE(HasFailure());
    const NetNamespace& serverNs = *namespaces[0];
    const NetNamespace& slowNs = *namespaces[1];
    auto commands = vethCommands(serverNs, "v0", "10.77.1.1/24", slowNs, "v0", "10.77.1.2/24");
    // The caller's link carries a fifth of the stream: 4 Mbit/s for a 20 Mbit/s stream.
    commands.push_back(serverNs.wrap({kTc, "qdisc", "add", "dev", "v0", "root", "tbf", "rate",
                                      "4mbit", "burst", "16kb", "latency", "50ms"}));
    ASSERT_EQ(runAll(commands, scratch.path()), "");

    const int srtPort = 9000;
    NamespacedServer server(serverNs,
                            {"source=udp://239.255.60.1:5000(127.0.0.1)",
                             "port=" + std::to_string(srtPort), "webport=8080", "latency=500"});
    Process& serverProcess = *server.process;
    const fs::path& dir = server.instance.dir();
    ASSERT_TRUE(serverProcess.running()) << serverProcess.output();
    // At 4 Mbit/s SRT itself drops what is too late to send, so a stalled caller never builds
    // a backlog; at 20 Mbit/s its send buffer fills and the backlog grows in the server.
    auto publisher = startTool("vandra-publisher",
                               publisherArgs("239.255.60.1", 5000, {"--bitrate", "20000000"}), dir,
                               serverNs.wrap());
    std::this_thread::sleep_for(1s);
    const Footprint before = footprint(serverProcess.pid());

    constexpr int kWindowSeconds = 36;
    auto healthy =
        startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 2, kWindowSeconds), dir,
                  serverNs.wrap());
    auto stalled =
        startTool("vandra-loadclient",
                  callerArgs("127.0.0.1", srtPort, 1, kWindowSeconds, {"--stall-after-ms", "2000"}),
                  dir, serverNs.wrap());
    auto slow = startTool("vandra-loadclient", callerArgs("10.77.1.1", srtPort, 1, kWindowSeconds),
                          dir, slowNs.wrap());

    std::vector<std::int64_t> rssMb;
    for (int second = 0; second < kWindowSeconds && serverProcess.running(); ++second) {
        rssMb.push_back(footprint(serverProcess.pid()).rssKb / 1024);
        std::this_thread::sleep_for(1s);
    }
    const ToolRun healthyRun = finish(*healthy, 20s);
    const ToolRun stalledRun = finish(*stalled, 20s);
    const ToolRun slowRun = finish(*slow, 20s);
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

    // Each lagging caller holds at most the cap, plus one more while its buffer grows (the
    // old storage is copied into the new), plus SRT's own buffers.
    const std::int64_t capMb = 25LL * 1316 * 1000 / kMiB;
    const std::int64_t peakMb = rssMb.empty() ? -1 : *std::max_element(rssMb.begin(), rssMb.end());
    EXPECT_LE(peakMb, before.rssKb / 1024 + 3 * capMb + 24);
    EXPECT_LE(after.rssKb, before.rssKb + 20 * 1024);

    std::string curve;
    for (const std::int64_t mb : rssMb) {
        curve += std::to_string(mb) + " ";
    }
    figure("slow/stalled: RSS MiB each second: " + curve);
    figure("slow/stalled: before " + describe(before) + ", peak " + std::to_string(peakMb) +
           " MiB, after " + describe(after));
    figure("slow/stalled: healthy " + healthyRun.json);
    figure("slow/stalled: stalled " + stalledRun.json);
    figure("slow/stalled: throttled " + slowRun.json);
}

// Guards against a file-mode caller that stops reading freezing the data path: its blocking
// sends must come back so the backlog cap can cut it off, and closing it must neither linger
// nor happen under the lock that every chunk needs.
TEST(ReliabilitySlowCallers, StalledFileModeCallerIsCutOffAndOthersLoseNothing) {
    ServerFixture server({"latency=0"});
    auto publisher = server.startPublisher({"--bitrate", "20000000"});
    constexpr double kSeconds = 30;
    auto healthy = server.startCallers(2, kSeconds, {"--file-mode"});
    auto stalled =
        server.startCallers(1, kSeconds + 10, {"--file-mode", "--stall-after-ms", "2000"});
    EXPECT_TRUE(server.waitForLog(kFellBehindLine, 40s)) << server.log();
    const ToolRun healthyRun = finish(*healthy, 30s);
    const ToolRun stalledRun = finish(*stalled, 30s);
    publisher->stop();
    expectLossless(healthyRun, 2, "healthy file-mode callers");
    EXPECT_EQ(stalledRun.number("disconnected"), 1u) << stalledRun.output;
    EXPECT_EQ(server.countInLog(kFellBehindLine), 1) << server.log();
    server.expectCleanStop();
    figure("file-mode stalled: healthy " + healthyRun.json);
}

// ---- Fast start behind a narrow link ------------------------------------------------------

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
        GTEST_SKIP() << "needs root and iproute2 for network namespaces";
    }
    ScratchDir scratch("vandra_rel_");
    const auto namespaces = makeNamespaces({"fsrv", "fslow"}, scratch.path());
    ASSERT_FALSE(HasFailure());
    const NetNamespace& serverNs = *namespaces[0];
    const NetNamespace& slowNs = *namespaces[1];
    auto commands = vethCommands(serverNs, "v0", "10.77.2.1/24", slowNs, "v0", "10.77.2.2/24");
    // A 4 Mbit/s stream (constant rate: the muxer pads with null packets) over 8 Mbit/s.
    commands.push_back(serverNs.wrap({kTc, "qdisc", "add", "dev", "v0", "root", "tbf", "rate",
                                      "8mbit", "burst", "16kb", "latency", "50ms"}));
    ASSERT_EQ(runAll(commands, scratch.path()), "");

    const int srtPort = 9000;
    NamespacedServer server(serverNs, {"source=udp://239.255.61.1:5000(127.0.0.1)",
                                       "port=" + std::to_string(srtPort), "webport=8080",
                                       "latency=200", "faststart=1", "dump=1"});
    Process& serverProcess = *server.process;
    const fs::path& dir = server.instance.dir();
    ASSERT_TRUE(serverProcess.running()) << serverProcess.output();
    auto encoder = startEncoder("239.255.61.1", 5000,
                                {"-c:v", "libx264", "-preset", "ultrafast", "-g", "50", "-b:v",
                                 "3400k", "-maxrate", "3400k", "-bufsize", "1700k", "-x264-params",
                                 "nal-hrd=cbr", "-muxrate", "4000000"},
                                dir, serverNs.wrap());
    // Two-second GOPs: after 3.2 s the cache holds between 1.2 and 2 s of the stream.
    std::this_thread::sleep_for(3200ms);
    auto caller = startFileCaller("srt://10.77.2.1:" + std::to_string(srtPort) + "?latency=200",
                                  dir / "slow.ts", 10, slowNs.wrap());
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
    const std::optional<std::uint64_t> dropped =
        receiveCounter(dir / "slow.ts.stats", "packetsDropped");
    EXPECT_EQ(dropped, 0u) << readBytes(dir / "slow.ts.stats").size();

    std::string fastStartLines;
    std::istringstream lines(serverProcess.output());
    for (std::string line; std::getline(lines, line);) {
        if (contains(line, "fast-start cache") || contains(line, "fast start:")) {
            fastStartLines += line + " | ";
        }
    }
    figure("fast start over 2x link: " + view.text());
    figure(
        "fast start over 2x link: caller dropped " + std::to_string(dropped.value_or(UINT64_MAX)) +
        ", lost " +
        std::to_string(receiveCounter(dir / "slow.ts.stats", "packetsLost").value_or(UINT64_MAX)) +
        "; server: " + fastStartLines);
}

// ---- Lossy links --------------------------------------------------------------------------

struct LinkImpairment {
    std::string name;
    std::vector<std::string> proxyArgs;
    double lossPercent = 0;
};

TEST(ReliabilityLossyLinks, CallersBehindLossAndDelayReceiveEveryPacket) {
    ServerFixture server({"latency=500"});
    auto publisher = server.startPublisher({"--bitrate", "4000000"});

    // Each within SRT's rule of thumb for a 500 ms latency (3 to 6 round trips at these loss
    // rates); the delay applies each way, so the round trip is twice it.
    const std::vector<LinkImpairment> links{
        {"1% loss, 40±10 ms", {"--loss", "1", "--delay-ms", "40", "--jitter-ms", "10"}, 1},
        {"5% loss, 20±10 ms", {"--loss", "5", "--delay-ms", "20", "--jitter-ms", "10"}, 5},
        {"2% loss, 30±15 ms reordering",
         {"--loss", "2", "--delay-ms", "30", "--jitter-ms", "15", "--reorder"},
         2},
    };
    std::vector<std::unique_ptr<Process>> proxies;
    std::vector<std::unique_ptr<Process>> callers;
    for (size_t i = 0; i < links.size(); ++i) {
        const int proxyPort = freeUdpPort();
        std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(proxyPort),
                                      "--target", "127.0.0.1:" + std::to_string(server.srtPort),
                                      "--seed",   std::to_string(11 + i)};
        args.insert(args.end(), links[i].proxyArgs.begin(), links[i].proxyArgs.end());
        proxies.push_back(startTool("vandra-lossyproxy", args, server.dir()));
        std::this_thread::sleep_for(100ms);
        callers.push_back(
            startTool("vandra-loadclient",
                      callerArgs("127.0.0.1", proxyPort, 2, 20, {"--connect-timeout", "5000"}),
                      server.dir()));
    }
    for (size_t i = 0; i < links.size(); ++i) {
        const ToolRun caller = finish(*callers[i], 40s);
        proxies[i]->sendSignal(SIGTERM);
        const ToolRun proxy = finish(*proxies[i], 5s);
        expectLossless(caller, 2, links[i].name);
        // 20 s at 4 Mbit/s is 2660 packets a second; the first and last moments go to
        // connecting and to the latency still held in the receiver.
        EXPECT_GT(caller.number("packets").value_or(0), 2u * 17 * 2660) << caller.json;
        // The link really lost packets and SRT repaired them.
        EXPECT_GT(caller.number("rcv_retrans").value_or(0), 0u) << caller.json;
        const double received = static_cast<double>(proxy.number("to_caller_received").value_or(0));
        const double dropped = static_cast<double>(proxy.number("to_caller_dropped").value_or(0));
        EXPECT_GT(received, 10000) << proxy.json;
        EXPECT_NEAR(100.0 * dropped / std::max(received, 1.0), links[i].lossPercent,
                    links[i].lossPercent / 2)
            << proxy.json;
        figure("lossy " + links[i].name + ": caller " + caller.json);
        figure("lossy " + links[i].name + ": proxy " + proxy.json);
    }
    EXPECT_TRUE(server.process->running());
}

// ---- Bad input on the ingest port ---------------------------------------------------------

TEST(ReliabilityBadInput, FloodsOfJunkDatagramsAndStraySendersLeaveCallersWhole) {
    ServerFixture server({"latency=500"});
    auto publisher = server.startPublisher(
        {"--bitrate", "4000000", "--inject-every", "20", "--inject-size", "1317"});
    std::this_thread::sleep_for(300ms);

    // Phase 1: floods the server must shrug off. Empty datagrams are paced as full ones
    // (100 Mbit/s: about 9500 a second); oversize ones are dropped whole; a sender aiming
    // valid test packets at the host address cannot reach a socket bound to the group.
    constexpr int kFloodSeconds = 12;
    const std::string floodSeconds = std::to_string(kFloodSeconds);
    auto empty =
        server.startPublisher({"--size", "0", "--bitrate", "100000000", "--seconds", floodSeconds});
    auto oversize = server.startPublisher(
        {"--size", "9000", "--bitrate", "50000000", "--seconds", floodSeconds});
    auto giant = server.startPublisher(
        {"--size", "65507", "--bitrate", "20000000", "--seconds", floodSeconds});
    auto unicast = startTool("vandra-publisher",
                             publisherArgs("127.0.0.1", server.source.port,
                                           {"--bitrate", "4000000", "--start-seq", "1000000000",
                                            "--seconds", floodSeconds}),
                             server.dir());
    const ToolRun duringFlood = server.runCallers(2, kFloodSeconds - 2, 30s);
    const ToolRun emptyRun = finish(*empty, 10s);
    const ToolRun oversizeRun = finish(*oversize, 10s);
    const ToolRun giantRun = finish(*giant, 10s);
    const ToolRun unicastRun = finish(*unicast, 10s);
    ASSERT_TRUE(server.process->running()) << server.log();
    expectLossless(duringFlood, 2, "callers during the flood");
    EXPECT_LT(duringFlood.number("last_seq").value_or(0), 1000000000u) << "unicast got in";
    EXPECT_GT(emptyRun.number("datagrams").value_or(0), 50000u) << emptyRun.json;
    EXPECT_GT(unicastRun.number("packets").value_or(0), 0u) << unicastRun.json;

    // The log names each kind of drop at most once per 5 s, with the running count.
    const std::string log = server.log();
    const int dropLines = server.countInLog(kDroppedDatagramLine);
    EXPECT_GE(dropLines, 2);
    EXPECT_LE(dropLines, kFloodSeconds / 5 + 2);
    const size_t lastDrop = log.rfind("dropped so far: ");
    ASSERT_NE(lastDrop, std::string::npos);
    const std::uint64_t loggedDrops = std::stoull(log.substr(lastDrop + 16));
    const std::uint64_t oversizeSent =
        oversizeRun.number("datagrams").value_or(0) + giantRun.number("datagrams").value_or(0);
    EXPECT_GT(loggedDrops, oversizeSent / 4) << "oversize sent " << oversizeSent;
    EXPECT_TRUE(contains(log, "-- dropped datagram of 65507 bytes") ||
                contains(log, "-- dropped datagram of 9000 bytes"));

    // Phase 2: any sender in the group is input. 188-byte junk is forwarded to the callers,
    // who see it as corrupt packets; the server keeps serving them.
    auto junk = server.startPublisher(
        {"--size", "0", "--bitrate", "2000000", "--inject-every", "1", "--inject-size", "188"});
    const ToolRun duringJunk = server.runCallers(1, 4, 20s);
    junk->stop();
    EXPECT_EQ(duringJunk.number("connected"), 1u) << duringJunk.output;
    EXPECT_EQ(duringJunk.number("disconnected"), 0u) << duringJunk.output;
    EXPECT_GT(duringJunk.number("corrupt").value_or(0), 0u) << duringJunk.json;
    EXPECT_GT(duringJunk.number("packets").value_or(0), 1000u) << duringJunk.json;

    // Phase 3: junk of whole packets leaves the packet grid in place, so once it stops a new
    // caller gets a clean stream again.
    std::this_thread::sleep_for(500ms);
    const ToolRun afterJunk = server.runCallers(1, 3, 20s);
    expectLossless(afterJunk, 1, "caller after the junk");
    EXPECT_TRUE(server.process->running());
    EXPECT_EQ(server.process->stop(), kSigterm);

    figure("bad input: empty " + emptyRun.json + "; 9000-byte " + oversizeRun.json +
           "; 65507-byte " + giantRun.json + "; unicast " + unicastRun.json);
    figure("bad input: " + std::to_string(dropLines) + " drop lines, last count " +
           std::to_string(loggedDrops) + "; callers during flood " + duringFlood.json);
    figure("bad input: during 188-byte junk " + duringJunk.json + "; after " + afterJunk.json);
}

// ---- HTTP under load ----------------------------------------------------------------------

struct WrkFigures {
    double requestsPerSecond = 0;
    std::uint64_t non2xx = 0;
};

WrkFigures parseWrk(const std::string& output) {
    WrkFigures figures;
    const size_t rate = output.find("Requests/sec:");
    if (rate != std::string::npos) {
        figures.requestsPerSecond = std::atof(output.c_str() + rate + 13);
    }
    const size_t non2xx = output.find("Non-2xx or 3xx responses:");
    if (non2xx != std::string::npos) {
        figures.non2xx = std::stoull(output.substr(non2xx + 26));
    }
    return figures;
}

TEST(ReliabilityHttpLoad, StatsAndFilesUnderLoadWhileTwentyCallersLoseNothing) {
    if (!fs::exists(kWrk)) {
        GTEST_SKIP() << "wrk is not installed";
    }
    ServerFixture server({"latency=500"});
    const fs::path& dir = server.dir();
    auto publisher = server.startPublisher({"--bitrate", "8000000"});
    constexpr int kCallers = 20;
    auto callers = server.startCallers(kCallers, 17);
    ASSERT_TRUE(server.waitForLog(kAcceptLine, 10s, kCallers));
    std::this_thread::sleep_for(3500ms); // past the first sample, so /stats lists them all

    const std::string base = "http://127.0.0.1:" + std::to_string(server.webPort);
    auto wrkStats = Process::start({kWrk, "-t", "1", "-c", "32", "-d", "10s", base + "/stats"}, dir,
                                   dir / "wrk_stats.log");
    auto wrkFile = Process::start({kWrk, "-t", "1", "-c", "32", "-d", "10s", base + "/index.html"},
                                  dir, dir / "wrk_file.log");
    const ToolRun statsLoad = finish(*wrkStats, 30s);
    const ToolRun fileLoad = finish(*wrkFile, 30s);

    const std::string response = rawHttpGet(server.webPort, "/stats");
    const ToolRun statsCheck = runPython(
        "import json,sys\n"
        "d=json.load(open(sys.argv[1]))\n"
        "right=d['stats']['right']\n"
        "assert isinstance(d['stats']['left']['data'], list) and d['stats']['left']['data']\n"
        "assert all(c['url'].startswith('127.0.0.1:') and c['data'] for c in right)\n"
        "print('callers', len(right))\n",
        httpBody(response), dir);
    const ToolRun callerRun = finish(*callers, 30s);

    EXPECT_EQ(statsLoad.status, 0) << statsLoad.output;
    EXPECT_EQ(fileLoad.status, 0) << fileLoad.output;
    const WrkFigures statsFigures = parseWrk(statsLoad.output);
    const WrkFigures fileFigures = parseWrk(fileLoad.output);
    EXPECT_GT(statsFigures.requestsPerSecond, 0) << statsLoad.output;
    EXPECT_GT(fileFigures.requestsPerSecond, 0) << fileLoad.output;
    EXPECT_EQ(statsFigures.non2xx, 0u) << statsLoad.output;
    EXPECT_EQ(fileFigures.non2xx, 0u) << fileLoad.output;
    EXPECT_EQ(httpStatus(response), 200) << response.substr(0, 300);
    EXPECT_EQ(statsCheck.status, 0) << statsCheck.output;
    EXPECT_TRUE(contains(statsCheck.output, "callers " + std::to_string(kCallers)))
        << statsCheck.output;
    expectLossless(callerRun, kCallers, "callers during HTTP load");
    EXPECT_TRUE(server.process->running());

    figure("http: /stats " + std::to_string(statsFigures.requestsPerSecond) +
           " req/s, /index.html " + std::to_string(fileFigures.requestsPerSecond) +
           " req/s (32 connections each, 10 s)");
    figure("http: callers " + callerRun.json);
}

// ---- Security -----------------------------------------------------------------------------

TEST(ReliabilitySecurity, CallersWithoutThePassphraseAreRefusedAndGetNothing) {
    ServerFixture server({"passphrase=reliability-secret-1"});
    auto publisher = server.startPublisher({"--bitrate", "2000000"});
    const ToolRun wrong = server.runCallers(3, 2, 20s, {"--passphrase", "wrong-passphrase-22"});
    const ToolRun none = server.runCallers(3, 2, 20s);
    EXPECT_EQ(server.countInLog(kAcceptLine), 0);
    const ToolRun right = server.runCallers(1, 2, 20s, {"--passphrase", "reliability-secret-1"});
    for (const ToolRun* refused : {&wrong, &none}) {
        EXPECT_EQ(refused->status, 1) << refused->output;
        EXPECT_EQ(refused->number("connected"), 0u) << refused->json;
        EXPECT_EQ(refused->number("bytes"), 0u) << refused->json;
    }
    expectLossless(right, 1, "caller with the passphrase");
    EXPECT_EQ(server.countInLog(kAcceptLine), 1);
}

TEST(ReliabilitySecurity, HalfOpenHandshakesAndJunkHoldNoResources) {
    ServerFixture server;
    const pid_t pid = server.process->pid();
    std::this_thread::sleep_for(500ms);
    const Footprint before = footprint(pid);

    // 50 would-be callers each start a handshake and never finish it; each also sends a
    // truncated second step and junk of assorted sizes.
    constexpr int kSources = 50;
    std::mt19937 random(7);
    const sockaddr_in target = loopbackAddress(server.srtPort);
    const auto* to = reinterpret_cast<const sockaddr*>(&target);
    int inductionReplies = 0;
    int sentDatagrams = 0;
    for (int i = 0; i < kSources; ++i) {
        const Socket sock(SOCK_DGRAM);
        setReceiveTimeout(sock.fd(), 300ms);
        const auto request = srtInductionRequest(random() | 1u, random() & 0x7fffffffu);
        ::sendto(sock.fd(), request.data(), request.size(), 0, to, sizeof(target));
        ++sentDatagrams;
        std::vector<std::uint8_t> reply(1500);
        const ssize_t n = ::recv(sock.fd(), reply.data(), reply.size(), 0);
        if (n >= 64) {
            reply.resize(static_cast<size_t>(n));
            // An induction answer carries the handshake type back and a cookie to echo.
            if (wordAt(reply, 0) == 0x80000000u && wordAt(reply, 9) == 1 &&
                wordAt(reply, 11) != 0) {
                ++inductionReplies;
                auto conclusion = request;
                conclusion.resize(40); // cut off inside the handshake body
                ::sendto(sock.fd(), conclusion.data(), conclusion.size(), 0, to, sizeof(target));
                ++sentDatagrams;
            }
        }
        for (const size_t size : {0, 1, 16, 63, 64, 200, 1316, 1500}) {
            std::vector<std::uint8_t> junk(size);
            for (auto& byte : junk) {
                byte = static_cast<std::uint8_t>(random());
            }
            ::sendto(sock.fd(), junk.data(), junk.size(), 0, to, sizeof(target));
            ++sentDatagrams;
        }
    }
    EXPECT_EQ(inductionReplies, kSources) << "the listener did not answer the first step";

    std::this_thread::sleep_for(3s);
    const Footprint after = footprint(pid);
    EXPECT_TRUE(server.process->running());
    EXPECT_EQ(server.countInLog(kAcceptLine), 0);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.fds, before.fds);
    EXPECT_LE(after.rssKb, before.rssKb + 4 * 1024);

    // The listener still serves a real caller afterwards.
    auto publisher = server.startPublisher({"--bitrate", "2000000"});
    expectLossless(server.runCallers(1, 2, 20s), 1, "caller after the junk");
    figure("half-open: " + std::to_string(sentDatagrams) + " datagrams from " +
           std::to_string(kSources) + " sources, " + std::to_string(inductionReplies) +
           " induction replies; before " + describe(before) + ", after " + describe(after));
}

TEST(ReliabilitySecurity, WebServesNothingOutsideItsFolder) {
    ServerFixture server;
    const std::string marker = "marker-9c41-server-ini-must-not-leak";
    server.instance.writeIni("# " + marker + "\nsource=udp://239.1.1.1:5000\nport=9000\n");
    ASSERT_EQ(httpStatus(rawHttpGet(server.webPort, "/index.html")), 200);

    const std::vector<std::string> attempts{
        "/../server.ini",
        "/%2e%2e/server.ini",
        "/..%2fserver.ini",
        "/%2e%2e%2fserver.ini",
        "/WEB/../server.ini",
        "/./../server.ini",
        "/vendor/../../server.ini",
        "/....//server.ini",
        "/..\\server.ini",
        "/%252e%252e/server.ini",
        "/stats/../server.ini",
        "/index.html/../../server.ini",
        "//server.ini",
        "/server.ini",
        "//etc/passwd",
        "/../../../../../../etc/passwd",
        "/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
        "/..%2f..%2f..%2f..%2fetc%2fpasswd",
    };
    std::string outcomes;
    for (const auto& target : attempts) {
        const std::string response = rawHttpGet(server.webPort, target);
        EXPECT_FALSE(contains(response, marker)) << target << "\n" << response;
        EXPECT_FALSE(contains(response, "root:x:0:0")) << target << "\n" << response;
        EXPECT_NE(httpStatus(response), 200) << target << "\n" << response.substr(0, 300);
        outcomes += target + " " + std::to_string(httpStatus(response)) + "; ";
    }
    EXPECT_TRUE(server.process->running());
    figure("traversal: " + outcomes);
}

// ---- Scale-out over a multicast network ---------------------------------------------------

TEST(ReliabilityScaleOut, ThreeServersFedByOneMulticastNetworkServeTheSameStream) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "needs root and iproute2 for network namespaces";
    }
    ScratchDir scratch("vandra_rel_");
    const auto edgeNs = makeNamespaces({"e1", "e2", "e3"}, scratch.path());
    const auto hubNs = makeNamespaces({"br", "pub"}, scratch.path());
    ASSERT_FALSE(HasFailure());
    const NetNamespace& bridgeNs = *hubNs[0];
    const NetNamespace& publisherNs = *hubNs[1];

    // One switch (a bridge that floods multicast) and a port for each host.
    std::vector<std::vector<std::string>> commands{
        bridgeNs.ip({"link", "add", "br0", "type", "bridge", "mcast_snooping", "0"}),
        bridgeNs.ip({"link", "set", "br0", "up"}),
    };
    auto attach = [&](const NetNamespace& host, const std::string& port,
                      const std::string& address) {
        for (auto& command : vethCommands(host, "v0", address, bridgeNs, port, "")) {
            commands.push_back(std::move(command));
        }
        commands.push_back(bridgeNs.ip({"link", "set", port, "master", "br0"}));
    };
    attach(publisherNs, "p0", "10.77.0.1/24");
    for (size_t i = 0; i < edgeNs.size(); ++i) {
        attach(*edgeNs[i], "p" + std::to_string(i + 1),
               "10.77.0." + std::to_string(11 + i) + "/24");
    }
    ASSERT_EQ(runAll(commands, scratch.path()), "");

    std::vector<std::unique_ptr<NamespacedServer>> servers;
    for (size_t i = 0; i < edgeNs.size(); ++i) {
        const std::string address = "10.77.0." + std::to_string(11 + i);
        servers.push_back(std::make_unique<NamespacedServer>(
            *edgeNs[i], std::vector<std::string>{"source=udp://239.255.50.1:5000(" + address + ")",
                                                 "port=9000", "webport=8080", "latency=500"}));
        ASSERT_TRUE(servers.back()->process->running()) << servers.back()->process->output();
    }
    auto publisher =
        startTool("vandra-publisher",
                  publisherArgs("239.255.50.1", 5000, {"--bitrate", "4000000"}, "10.77.0.1"),
                  scratch.path(), publisherNs.wrap());

    std::vector<std::unique_ptr<Process>> callers;
    for (const auto& ns : edgeNs) {
        callers.push_back(startTool("vandra-loadclient", callerArgs("127.0.0.1", 9000, 2, 10),
                                    scratch.path(), ns->wrap()));
    }
    std::vector<ToolRun> runs;
    for (size_t i = 0; i < callers.size(); ++i) {
        runs.push_back(finish(*callers[i], 30s));
        expectLossless(runs.back(), 2, "edge " + std::to_string(i + 1));
    }
    // Same sequence numbers everywhere: each window is gap-free, and all of them overlap in
    // all but the start-up moments.
    std::uint64_t latestFirst = 0;
    std::uint64_t earliestLast = UINT64_MAX;
    for (const ToolRun& run : runs) {
        latestFirst = std::max(latestFirst, run.number("first_seq").value_or(UINT64_MAX));
        earliestLast = std::min(earliestLast, run.number("last_seq").value_or(0));
    }
    ASSERT_LT(latestFirst, earliestLast);
    const std::uint64_t shared = earliestLast - latestFirst + 1;
    for (const ToolRun& run : runs) {
        const std::uint64_t own =
            run.number("last_seq").value_or(0) - run.number("first_seq").value_or(0) + 1;
        EXPECT_GE(shared * 10, own * 9) << "windows barely overlap: " << run.json;
    }
    for (size_t i = 0; i < servers.size(); ++i) {
        EXPECT_TRUE(servers[i]->process->running());
        EXPECT_EQ(servers[i]->process->stop(), kSigterm);
        figure("scale-out: edge " + std::to_string(i + 1) + " callers " + runs[i].json);
    }
    figure("scale-out: sequence numbers common to all edges " + std::to_string(latestFirst) + ".." +
           std::to_string(earliestLast));
}

} // namespace
} // namespace vandra::e2e
