#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
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

constexpr int kSigterm = 128 + SIGTERM;
constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kTc = "/usr/sbin/tc";
constexpr const char* kWrk = "/usr/bin/wrk";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kAcceptLine = "accept new client ";
constexpr const char* kRemoveLine = "\nREMOVE  ";
constexpr const char* kDeleteLine = "del client (try del thread)";
constexpr const char* kFellBehindLine = "-- caller fell more than ";
constexpr const char* kDroppedDatagramLine = "-- dropped datagram of ";
constexpr std::int64_t kMiB = 1024 * 1024;

void figure(const std::string& text) {
    std::printf("[figures] %s\n", text.c_str());
    std::fflush(stdout);
}

// ---- Tool output --------------------------------------------------------------------------

std::string lastJsonLine(const std::string& output) {
    std::string found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.front() == '{') {
            found = line;
        }
    }
    return found;
}

// The text of a field of a flat JSON object, up to the next ',' or '}'.
std::string jsonRaw(const std::string& json, const std::string& key) {
    const std::string label = "\"" + key + "\":";
    const size_t at = json.find(label);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + label.size();
    return json.substr(start, json.find_first_of(",}", start) - start);
}

std::optional<std::uint64_t> jsonNumber(const std::string& json, const std::string& key) {
    const std::string raw = jsonRaw(json, key);
    if (raw.empty() || raw.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(raw);
}

struct ToolRun {
    int status = -1; // -1: had to be stopped
    std::string output;
    std::string json;

    std::optional<std::uint64_t> number(const std::string& key) const {
        return jsonNumber(json, key);
    }
    std::string raw(const std::string& key) const { return jsonRaw(json, key); }
};

ToolRun finish(Process& process, std::chrono::milliseconds timeout) {
    ToolRun run;
    const std::optional<int> status = process.waitExit(timeout);
    if (!status) {
        process.stop();
    }
    run.status = status.value_or(-1);
    run.output = process.output();
    run.json = lastJsonLine(run.output);
    return run;
}

// What a load client must show for callers that lost nothing.
void expectLossless(const ToolRun& run, std::uint64_t callers, const std::string& who) {
    EXPECT_EQ(run.status, 0) << who << ": " << run.output;
    EXPECT_EQ(run.number("connected"), callers) << who << ": " << run.json;
    EXPECT_EQ(run.number("gaps"), 0u) << who << ": " << run.json;
    EXPECT_EQ(run.number("duplicates"), 0u) << who << ": " << run.json;
    EXPECT_EQ(run.number("corrupt"), 0u) << who << ": " << run.json;
    EXPECT_EQ(run.number("disconnected"), 0u) << who << ": " << run.json;
}

std::vector<std::string> publisherArgs(const std::string& group, int port,
                                       const std::vector<std::string>& extra,
                                       const std::string& iface = "127.0.0.1") {
    std::vector<std::string> args{"--group", group, "--port", std::to_string(port),
                                  "--iface", iface};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::vector<std::string> callerArgs(const std::string& host, int port, int callers, double seconds,
                                    const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--host",    host,
                                  "--port",    std::to_string(port),
                                  "--callers", std::to_string(callers),
                                  "--seconds", std::to_string(seconds),
                                  "--latency", "500"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// ---- The server process as the kernel sees it ---------------------------------------------

struct Footprint {
    std::int64_t rssKb = -1;
    int threads = -1;
    int fds = -1;
};

Footprint footprint(pid_t pid) {
    Footprint result;
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    std::ifstream status(proc / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            result.rssKb = std::stoll(line.substr(6));
        } else if (line.rfind("Threads:", 0) == 0) {
            result.threads = std::stoi(line.substr(8));
        }
    }
    std::error_code error;
    int fds = 0;
    for (fs::directory_iterator entry(proc / "fd", error), end; !error && entry != end;
         entry.increment(error)) {
        ++fds;
    }
    result.fds = error ? -1 : fds;
    return result;
}

std::string describe(const Footprint& print) {
    return "rss " + std::to_string(print.rssKb / 1024) + " MiB, " + std::to_string(print.threads) +
           " threads, " + std::to_string(print.fds) + " fds";
}

// ---- Commands and network namespaces ------------------------------------------------------

// A folder for logs that outlives everything a test starts in it.
class ScratchDir {
public:
    ScratchDir() {
        static int counter = 0;
        path_ = fs::temp_directory_path() /
                ("vandra_rel_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult runCommand(const std::vector<std::string>& argv, const fs::path& logDir) {
    static int counter = 0;
    auto process = Process::start(argv, logDir, logDir / ("cmd_" + std::to_string(counter++)));
    const std::optional<int> status = process->waitExit(15s);
    if (!status) {
        process->stop();
    }
    std::string command;
    for (const auto& arg : argv) {
        command += arg + " ";
    }
    return {status.value_or(-1), command + "-> " + process->output()};
}

// Runs the commands in order; empty when all succeeded, else what failed and why.
std::string runAll(const std::vector<std::vector<std::string>>& commands, const fs::path& logDir) {
    for (const auto& argv : commands) {
        const CommandResult result = runCommand(argv, logDir);
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
        const CommandResult added = runCommand({kIp, "netns", "add", name_}, logDir_);
        created_ = added.status == 0;
        error_ = added.output;
        if (created_) {
            error_ = runAll({{kIp, "-n", name_, "link", "set", "lo", "up"}}, logDir_);
        }
    }
    ~NetNamespace() {
        if (created_) {
            runCommand({kIp, "netns", "del", name_}, logDir_);
        }
    }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ready() const { return created_ && error_.empty(); }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }

    std::vector<std::string> wrap(const std::vector<std::string>& argv) const {
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
    bool created_ = false;
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

std::unique_ptr<Process> startToolIn(const NetNamespace& ns, const std::string& name,
                                     const std::vector<std::string>& args, const fs::path& dir) {
    static int counter = 0;
    std::vector<std::string> argv{toolBinary(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process::start(ns.wrap(argv), dir,
                          dir /
                              (ns.name() + "_" + name + "_" + std::to_string(counter++) + ".log"));
}

// A server started in a namespace, waiting until it has joined its group.
struct NamespacedServer {
    std::unique_ptr<ServerInstance> instance = std::make_unique<ServerInstance>();
    std::unique_ptr<Process> process;

    NamespacedServer(const NetNamespace& ns, const std::vector<std::string>& settings) {
        std::vector<std::string> argv{(instance->dir() / "vandra-server").string()};
        argv.insert(argv.end(), settings.begin(), settings.end());
        process = Process::start(ns.wrap(argv), instance->dir(), instance->dir() / "stdout.log");
        process->waitForOutput("-- used iface for MULTICAST GROUP: ", 10s);
        std::this_thread::sleep_for(200ms);
    }
};

// ---- Raw sockets --------------------------------------------------------------------------

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// Sends the request target exactly as given (no normalisation on our side) and returns the
// whole response, or what arrived before the time ran out.
std::string rawHttpGet(int port, const std::string& target) {
    Descriptor sock(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in address = loopback(port);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return "";
    }
    setReceiveTimeout(sock.get(), 3s);
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(sock.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return "";
    }
    std::string response;
    char buffer[16384];
    for (int reads = 0; reads < 1000; ++reads) {
        const ssize_t n = ::recv(sock.get(), buffer, sizeof(buffer), 0);
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

// ============================================================================================
// Callers that come and go
// ============================================================================================

constexpr int kSteadyCallers = 5;
constexpr int kWaves = 12;
constexpr int kCleanPerWave = 15;
constexpr int kKilledPerWave = 10;

TEST(ReliabilityChurn, ThreeHundredPassingCallersLeaveNoTraceAndSteadyOnesLoseNothing) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort, {"latency=500"});
    Process& serverProcess = *server.process;
    const fs::path& dir = server.instance->dir();
    auto publisher =
        startTool("vandra-publisher",
                  publisherArgs(source.group, source.port, {"--bitrate", "4000000"}), dir);
    std::this_thread::sleep_for(1s);
    const Footprint before = footprint(serverProcess.pid());
    ASSERT_GT(before.threads, 0);

    const auto start = std::chrono::steady_clock::now();
    auto steady =
        startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, kSteadyCallers, 45), dir);
    ASSERT_TRUE(serverProcess.waitForOutput(kAcceptLine, 10s, kSteadyCallers));

    // Each wave: some callers watch a second and hang up, the others are killed mid-stream
    // and never say goodbye, so the server only learns from SRT's idle timeout.
    Footprint peak = before;
    int churned = 0;
    for (int wave = 0; wave < kWaves; ++wave) {
        auto clean =
            startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, kCleanPerWave, 1), dir);
        auto killed = startTool("vandra-loadclient",
                                callerArgs("127.0.0.1", srtPort, kKilledPerWave, 60), dir);
        churned += kCleanPerWave + kKilledPerWave;
        ASSERT_TRUE(serverProcess.waitForOutput(kAcceptLine, 10s, kSteadyCallers + churned))
            << "wave " << wave << " not accepted";
        std::this_thread::sleep_for(500ms);
        killed->sendSignal(SIGKILL);
        killed->waitExit(5s);
        const ToolRun cleanRun = finish(*clean, 15s);
        expectLossless(cleanRun, kCleanPerWave, "clean wave " + std::to_string(wave));
        const Footprint now = footprint(serverProcess.pid());
        peak.rssKb = std::max(peak.rssKb, now.rssKb);
        peak.threads = std::max(peak.threads, now.threads);
        peak.fds = std::max(peak.fds, now.fds);
        std::this_thread::sleep_for(800ms); // spreads the waves over the steady callers' time
    }
    const auto churnSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // The killed ones are noticed once SRT gives up on them (about 5 s) and reaped at the
    // next 3-second sample.
    EXPECT_TRUE(serverProcess.waitForOutput(kRemoveLine, 20s, churned));
    EXPECT_EQ(serverProcess.countInOutput(kRemoveLine), churned) << "steady callers removed?";
    EXPECT_TRUE(steady->running()) << "the steady callers ended early";

    const ToolRun steadyRun = finish(*steady, 60s);
    expectLossless(steadyRun, kSteadyCallers, "steady callers");
    EXPECT_TRUE(serverProcess.waitForOutput(kRemoveLine, 15s, churned + kSteadyCallers));

    Footprint after;
    waitUntil(
        [&] {
            after = footprint(serverProcess.pid());
            return after.threads <= before.threads;
        },
        5s);
    EXPECT_EQ(serverProcess.countInOutput(kAcceptLine), churned + kSteadyCallers);
    EXPECT_EQ(serverProcess.countInOutput(kRemoveLine), churned + kSteadyCallers);
    EXPECT_EQ(serverProcess.countInOutput(kDeleteLine), churned + kSteadyCallers);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.rssKb, before.rssKb + 20 * 1024);
    EXPECT_LE(after.fds, before.fds + 2);
    EXPECT_TRUE(serverProcess.running());

    figure("churn: " + std::to_string(churned) + " passing callers (" +
           std::to_string(kWaves * kCleanPerWave) + " clean, " +
           std::to_string(kWaves * kKilledPerWave) + " killed) in " + std::to_string(churnSeconds) +
           " s; steady " + steadyRun.json);
    figure("churn: server before " + describe(before) + "; peak " + describe(peak) + "; after " +
           describe(after));
}

// ============================================================================================
// Slow and stalled callers
// ============================================================================================

TEST(ReliabilitySlowCallers, StalledAndThrottledCallersAreCutOffAndMemoryStaysBounded) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "needs root and iproute2 for network namespaces";
    }
    ScratchDir scratch;
    NetNamespace serverNs("srv", scratch.path());
    NetNamespace slowNs("slow", scratch.path());
    ASSERT_TRUE(serverNs.ready()) << serverNs.error();
    ASSERT_TRUE(slowNs.ready()) << slowNs.error();
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
    const fs::path& dir = server.instance->dir();
    ASSERT_TRUE(serverProcess.running()) << serverProcess.output();
    // At 4 Mbit/s SRT itself drops what is too late to send, so a stalled caller never builds
    // a backlog; at 20 Mbit/s its send buffer fills and the backlog grows in the server.
    auto publisher =
        startToolIn(serverNs, "vandra-publisher",
                    publisherArgs("239.255.60.1", 5000, {"--bitrate", "20000000"}), dir);
    std::this_thread::sleep_for(1s);
    const Footprint before = footprint(serverProcess.pid());

    constexpr int kWindowSeconds = 36;
    auto healthy = startToolIn(serverNs, "vandra-loadclient",
                               callerArgs("127.0.0.1", srtPort, 2, kWindowSeconds), dir);
    auto stalled = startToolIn(
        serverNs, "vandra-loadclient",
        callerArgs("127.0.0.1", srtPort, 1, kWindowSeconds, {"--stall-after-ms", "2000"}), dir);
    auto slow = startToolIn(slowNs, "vandra-loadclient",
                            callerArgs("10.77.1.1", srtPort, 1, kWindowSeconds), dir);

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

// ============================================================================================
// Lossy links
// ============================================================================================

struct LinkImpairment {
    std::string name;
    std::vector<std::string> proxyArgs;
    double lossPercent = 0;
};

TEST(ReliabilityLossyLinks, CallersBehindLossAndDelayReceiveEveryPacket) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort, {"latency=500"});
    const fs::path& dir = server.instance->dir();
    auto publisher =
        startTool("vandra-publisher",
                  publisherArgs(source.group, source.port, {"--bitrate", "4000000"}), dir);

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
                                      "--target", "127.0.0.1:" + std::to_string(srtPort),
                                      "--seed",   std::to_string(11 + i)};
        args.insert(args.end(), links[i].proxyArgs.begin(), links[i].proxyArgs.end());
        proxies.push_back(startTool("vandra-lossyproxy", args, dir));
        std::this_thread::sleep_for(100ms);
        callers.push_back(startTool(
            "vandra-loadclient",
            callerArgs("127.0.0.1", proxyPort, 2, 20, {"--connect-timeout", "5000"}), dir));
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

// ============================================================================================
// Bad input on the ingest port
// ============================================================================================

TEST(ReliabilityBadInput, FloodsOfJunkDatagramsAndStraySendersLeaveCallersWhole) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort, {"latency=500"});
    Process& serverProcess = *server.process;
    const fs::path& dir = server.instance->dir();
    auto publisher = startTool(
        "vandra-publisher",
        publisherArgs(source.group, source.port,
                      {"--bitrate", "4000000", "--inject-every", "20", "--inject-size", "1317"}),
        dir);
    std::this_thread::sleep_for(300ms);

    // Phase 1: floods the server must shrug off. Empty datagrams are paced as full ones
    // (100 Mbit/s: about 9500 a second); oversize ones are dropped whole; a sender aiming
    // valid test packets at the host address cannot reach a socket bound to the group.
    constexpr int kFloodSeconds = 12;
    const std::string floodSeconds = std::to_string(kFloodSeconds);
    auto empty = startTool(
        "vandra-publisher",
        publisherArgs(source.group, source.port,
                      {"--size", "0", "--bitrate", "100000000", "--seconds", floodSeconds}),
        dir);
    auto oversize = startTool(
        "vandra-publisher",
        publisherArgs(source.group, source.port,
                      {"--size", "9000", "--bitrate", "50000000", "--seconds", floodSeconds}),
        dir);
    auto giant = startTool(
        "vandra-publisher",
        publisherArgs(source.group, source.port,
                      {"--size", "65507", "--bitrate", "20000000", "--seconds", floodSeconds}),
        dir);
    auto unicast = startTool("vandra-publisher",
                             publisherArgs("127.0.0.1", source.port,
                                           {"--bitrate", "4000000", "--start-seq", "1000000000",
                                            "--seconds", floodSeconds}),
                             dir);
    const ToolRun duringFlood =
        finish(*startTool("vandra-loadclient",
                          callerArgs("127.0.0.1", srtPort, 2, kFloodSeconds - 2), dir),
               30s);
    const ToolRun emptyRun = finish(*empty, 10s);
    const ToolRun oversizeRun = finish(*oversize, 10s);
    const ToolRun giantRun = finish(*giant, 10s);
    const ToolRun unicastRun = finish(*unicast, 10s);
    ASSERT_TRUE(serverProcess.running()) << serverProcess.output();
    expectLossless(duringFlood, 2, "callers during the flood");
    EXPECT_LT(duringFlood.number("last_seq").value_or(0), 1000000000u) << "unicast got in";
    EXPECT_GT(emptyRun.number("datagrams").value_or(0), 50000u) << emptyRun.json;
    EXPECT_GT(unicastRun.number("packets").value_or(0), 0u) << unicastRun.json;

    // The log names each kind of drop at most once per 5 s, with the running count.
    const std::string log = serverProcess.output();
    const int dropLines = serverProcess.countInOutput(kDroppedDatagramLine);
    EXPECT_GE(dropLines, 2);
    EXPECT_LE(dropLines, kFloodSeconds / 5 + 2);
    const size_t lastDrop = log.rfind("dropped so far: ");
    ASSERT_NE(lastDrop, std::string::npos);
    const std::uint64_t loggedDrops = std::stoull(log.substr(lastDrop + 16));
    const std::uint64_t oversizeSent =
        oversizeRun.number("datagrams").value_or(0) + giantRun.number("datagrams").value_or(0);
    EXPECT_GT(loggedDrops, oversizeSent / 4) << "oversize sent " << oversizeSent;
    EXPECT_TRUE(log.find("-- dropped datagram of 65507 bytes") != std::string::npos ||
                log.find("-- dropped datagram of 9000 bytes") != std::string::npos);

    // Phase 2: any sender in the group is input. 188-byte junk is forwarded to the callers,
    // who see it as corrupt packets; the server keeps serving them.
    auto junk = startTool("vandra-publisher",
                          publisherArgs(source.group, source.port,
                                        {"--size", "0", "--bitrate", "2000000", "--inject-every",
                                         "1", "--inject-size", "188"}),
                          dir);
    const ToolRun duringJunk =
        finish(*startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 4), dir), 20s);
    junk->stop();
    EXPECT_EQ(duringJunk.number("connected"), 1u) << duringJunk.output;
    EXPECT_EQ(duringJunk.number("disconnected"), 0u) << duringJunk.output;
    EXPECT_GT(duringJunk.number("corrupt").value_or(0), 0u) << duringJunk.json;
    EXPECT_GT(duringJunk.number("packets").value_or(0), 1000u) << duringJunk.json;

    // Phase 3: junk of whole packets leaves the packet grid in place, so once it stops a new
    // caller gets a clean stream again.
    std::this_thread::sleep_for(500ms);
    const ToolRun afterJunk =
        finish(*startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 3), dir), 20s);
    expectLossless(afterJunk, 1, "caller after the junk");
    EXPECT_TRUE(serverProcess.running());
    EXPECT_EQ(serverProcess.stop(), kSigterm);

    figure("bad input: empty " + emptyRun.json + "; 9000-byte " + oversizeRun.json +
           "; 65507-byte " + giantRun.json + "; unicast " + unicastRun.json);
    figure("bad input: " + std::to_string(dropLines) + " drop lines, last count " +
           std::to_string(loggedDrops) + "; callers during flood " + duringFlood.json);
    figure("bad input: during 188-byte junk " + duringJunk.json + "; after " + afterJunk.json);
}

// ============================================================================================
// HTTP under load
// ============================================================================================

struct WrkFigures {
    double requestsPerSecond = 0;
    std::uint64_t non2xx = 0;
    bool socketErrors = false;
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
    figures.socketErrors = output.find("Socket errors:") != std::string::npos;
    return figures;
}

TEST(ReliabilityHttpLoad, StatsAndFilesUnderLoadWhileTwentyCallersLoseNothing) {
    if (!fs::exists(kWrk)) {
        GTEST_SKIP() << "wrk is not installed";
    }
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort, {"latency=500"});
    Process& serverProcess = *server.process;
    const fs::path& dir = server.instance->dir();
    auto publisher =
        startTool("vandra-publisher",
                  publisherArgs(source.group, source.port, {"--bitrate", "8000000"}), dir);
    constexpr int kCallers = 20;
    auto callers =
        startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, kCallers, 17), dir);
    ASSERT_TRUE(serverProcess.waitForOutput(kAcceptLine, 10s, kCallers));
    std::this_thread::sleep_for(3500ms); // past the first sample, so /stats lists them all

    const std::string base = "http://127.0.0.1:" + std::to_string(server.webPort);
    auto wrkStats = Process::start({kWrk, "-t", "1", "-c", "32", "-d", "10s", base + "/stats"}, dir,
                                   dir / "wrk_stats.log");
    auto wrkFile = Process::start({kWrk, "-t", "1", "-c", "32", "-d", "10s", base + "/index.html"},
                                  dir, dir / "wrk_file.log");
    const ToolRun statsLoad = finish(*wrkStats, 30s);
    const ToolRun fileLoad = finish(*wrkFile, 30s);

    const std::string response = rawHttpGet(server.webPort, "/stats");
    std::ofstream(dir / "stats.json") << httpBody(response);
    auto check = Process::start(
        {kPython, "-c",
         "import json,sys\n"
         "d=json.load(open(sys.argv[1]))\n"
         "right=d['stats']['right']\n"
         "assert isinstance(d['stats']['left']['data'], list) and d['stats']['left']['data']\n"
         "assert all(c['url'].startswith('127.0.0.1:') and c['data'] for c in right)\n"
         "print('callers', len(right))\n",
         (dir / "stats.json").string()},
        dir, dir / "stats_check.log");
    const ToolRun statsCheck = finish(*check, 10s);
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
    EXPECT_NE(statsCheck.output.find("callers " + std::to_string(kCallers)), std::string::npos)
        << statsCheck.output;
    expectLossless(callerRun, kCallers, "callers during HTTP load");
    EXPECT_TRUE(serverProcess.running());

    figure("http: /stats " + std::to_string(statsFigures.requestsPerSecond) +
           " req/s, /index.html " + std::to_string(fileFigures.requestsPerSecond) +
           " req/s (32 connections each, 10 s)");
    figure("http: callers " + callerRun.json);
}

// ============================================================================================
// Security
// ============================================================================================

TEST(ReliabilitySecurity, CallersWithoutThePassphraseAreRefusedAndGetNothing) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort, {"passphrase=reliability-secret-1"});
    Process& serverProcess = *server.process;
    const fs::path& dir = server.instance->dir();
    auto publisher =
        startTool("vandra-publisher",
                  publisherArgs(source.group, source.port, {"--bitrate", "2000000"}), dir);
    const ToolRun wrong = finish(
        *startTool("vandra-loadclient",
                   callerArgs("127.0.0.1", srtPort, 3, 2, {"--passphrase", "wrong-passphrase-22"}),
                   dir),
        20s);
    const ToolRun none =
        finish(*startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 3, 2), dir), 20s);
    EXPECT_EQ(serverProcess.countInOutput(kAcceptLine), 0);
    const ToolRun right = finish(
        *startTool("vandra-loadclient",
                   callerArgs("127.0.0.1", srtPort, 1, 2, {"--passphrase", "reliability-secret-1"}),
                   dir),
        20s);
    for (const ToolRun* refused : {&wrong, &none}) {
        EXPECT_EQ(refused->status, 1) << refused->output;
        EXPECT_EQ(refused->number("connected"), 0u) << refused->json;
        EXPECT_EQ(refused->number("bytes"), 0u) << refused->json;
    }
    expectLossless(right, 1, "caller with the passphrase");
    EXPECT_EQ(serverProcess.countInOutput(kAcceptLine), 1);
}

TEST(ReliabilitySecurity, HalfOpenHandshakesAndJunkHoldNoResources) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort);
    Process& serverProcess = *server.process;
    const fs::path& dir = server.instance->dir();
    std::this_thread::sleep_for(500ms);
    const Footprint before = footprint(serverProcess.pid());

    // 50 would-be callers each start a handshake and never finish it; each also sends a
    // truncated second step and junk of assorted sizes.
    constexpr int kSources = 50;
    std::mt19937 random(7);
    const sockaddr_in target = loopback(srtPort);
    const auto* to = reinterpret_cast<const sockaddr*>(&target);
    int inductionReplies = 0;
    int sentDatagrams = 0;
    for (int i = 0; i < kSources; ++i) {
        Descriptor sock(::socket(AF_INET, SOCK_DGRAM, 0));
        setReceiveTimeout(sock.get(), 300ms);
        const auto request = srtInductionRequest(random() | 1u, random() & 0x7fffffffu);
        ::sendto(sock.get(), request.data(), request.size(), 0, to, sizeof(target));
        ++sentDatagrams;
        std::vector<std::uint8_t> reply(1500);
        const ssize_t n = ::recv(sock.get(), reply.data(), reply.size(), 0);
        if (n >= 64) {
            reply.resize(static_cast<size_t>(n));
            // An induction answer carries the handshake type back and a cookie to echo.
            if (wordAt(reply, 0) == 0x80000000u && wordAt(reply, 9) == 1 &&
                wordAt(reply, 11) != 0) {
                ++inductionReplies;
                auto conclusion = request;
                conclusion.resize(40); // cut off inside the handshake body
                ::sendto(sock.get(), conclusion.data(), conclusion.size(), 0, to, sizeof(target));
                ++sentDatagrams;
            }
        }
        for (const size_t size : {0, 1, 16, 63, 64, 200, 1316, 1500}) {
            std::vector<std::uint8_t> junk(size);
            for (auto& byte : junk) {
                byte = static_cast<std::uint8_t>(random());
            }
            ::sendto(sock.get(), junk.data(), junk.size(), 0, to, sizeof(target));
            ++sentDatagrams;
        }
    }
    EXPECT_EQ(inductionReplies, kSources) << "the listener did not answer the first step";

    std::this_thread::sleep_for(3s);
    const Footprint after = footprint(serverProcess.pid());
    EXPECT_TRUE(serverProcess.running());
    EXPECT_EQ(serverProcess.countInOutput(kAcceptLine), 0);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.fds, before.fds);
    EXPECT_LE(after.rssKb, before.rssKb + 4 * 1024);

    // The listener still serves a real caller afterwards.
    auto publisher =
        startTool("vandra-publisher",
                  publisherArgs(source.group, source.port, {"--bitrate", "2000000"}), dir);
    const ToolRun real =
        finish(*startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 2), dir), 20s);
    expectLossless(real, 1, "caller after the junk");
    figure("half-open: " + std::to_string(sentDatagrams) + " datagrams from " +
           std::to_string(kSources) + " sources, " + std::to_string(inductionReplies) +
           " induction replies; before " + describe(before) + ", after " + describe(after));
}

TEST(ReliabilitySecurity, WebServesNothingOutsideItsFolder) {
    const MulticastSource source = uniqueSource();
    RunningServer server = startServer(source, freeUdpPort());
    const std::string marker = "marker-9c41-server-ini-must-not-leak";
    server.instance->writeIni("# " + marker + "\nsource=udp://239.1.1.1:5000\nport=9000\n");
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
        EXPECT_EQ(response.find(marker), std::string::npos) << target << "\n" << response;
        EXPECT_EQ(response.find("root:x:0:0"), std::string::npos) << target << "\n" << response;
        EXPECT_NE(httpStatus(response), 200) << target << "\n" << response.substr(0, 300);
        outcomes += target + " " + std::to_string(httpStatus(response)) + "; ";
    }
    EXPECT_TRUE(server.process->running());
    figure("traversal: " + outcomes);
}

// ============================================================================================
// Scale-out over a multicast network
// ============================================================================================

TEST(ReliabilityScaleOut, ThreeServersFedByOneMulticastNetworkServeTheSameStream) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "needs root and iproute2 for network namespaces";
    }
    ScratchDir scratch;
    NetNamespace bridgeNs("br", scratch.path());
    NetNamespace publisherNs("pub", scratch.path());
    std::vector<std::unique_ptr<NetNamespace>> edgeNs;
    for (int i = 1; i <= 3; ++i) {
        edgeNs.push_back(std::make_unique<NetNamespace>("e" + std::to_string(i), scratch.path()));
    }
    ASSERT_TRUE(bridgeNs.ready()) << bridgeNs.error();
    ASSERT_TRUE(publisherNs.ready()) << publisherNs.error();
    for (const auto& ns : edgeNs) {
        ASSERT_TRUE(ns->ready()) << ns->error();
    }

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
    auto publisher = startToolIn(
        publisherNs, "vandra-publisher",
        publisherArgs("239.255.50.1", 5000, {"--bitrate", "4000000"}, "10.77.0.1"), scratch.path());

    std::vector<std::unique_ptr<Process>> callers;
    for (const auto& ns : edgeNs) {
        callers.push_back(startToolIn(*ns, "vandra-loadclient",
                                      callerArgs("127.0.0.1", 9000, 2, 10), scratch.path()));
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
