#include "harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "freeport.h"

namespace vandra::e2e {

std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

sockaddr_in loopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

Socket::Socket(int type) : fd_(::socket(AF_INET, type, 0)) {}

Socket::~Socket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool Socket::bindLoopback(int port) const {
    const sockaddr_in address = loopbackAddress(port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

int Socket::localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int freeUdpPort() {
    const int port = test::freePort(SOCK_DGRAM);
    EXPECT_NE(port, 0) << "no free UDP port";
    return port;
}
int freeTcpPort() {
    const int port = test::freePort(SOCK_STREAM);
    EXPECT_NE(port, 0) << "no free TCP port";
    return port;
}

std::string MulticastSource::setting(const std::string& key) const {
    return key + "=udp://" + group + ":" + std::to_string(port) + "(127.0.0.1)";
}

// The group is this test process's own: the kernel's membership table, which tells that the
// server has joined, is shared by every process on the machine, and a test running beside
// with the same group would make a server look joined before it has even started.
MulticastSource uniqueSource() {
    static std::atomic<int> counter{1};
    const int n = counter++;
    const int id = static_cast<int>(::getpid() % 65536);
    MulticastSource source;
    source.group = "239." + std::to_string(100 + n % 100) + "." + std::to_string(id / 256) + "." +
                   std::to_string(id % 256);
    source.port = freeUdpPort();
    return source;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(interval);
    }
    return condition();
}

std::vector<int> udpPortsOfProcess(pid_t pid) {
    std::vector<unsigned long> inodes;
    std::error_code error;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        unsigned long inode = 0;
        if (std::sscanf(std::filesystem::read_symlink(entry.path(), error).c_str(), "socket:[%lu]",
                        &inode) == 1) {
            inodes.push_back(inode);
        }
    }
    // "sl: local_ip:local_port remote st queues timer retransmits uid timeout inode ..." (hex)
    std::vector<int> ports;
    std::ifstream table("/proc/net/udp");
    for (std::string line; std::getline(table, line);) {
        unsigned port = 0;
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), " %*s %*x:%x %*s %*s %*s %*s %*s %*s %*s %lu", &port,
                        &inode) == 2 &&
            std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) {
            ports.push_back(static_cast<int>(port));
        }
    }
    return ports;
}

std::optional<std::uint64_t> udpReceiveQueue(pid_t pid, int port) {
    // "sl: local_ip:local_port remote_ip:remote_port st tx_queue:rx_queue ..." (hex)
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/udp");
    for (std::string line; std::getline(table, line);) {
        unsigned local = 0;
        unsigned long queued = 0;
        if (std::sscanf(line.c_str(), " %*s %*x:%x %*s %*s %*x:%lx", &local, &queued) == 2 &&
            static_cast<int>(local) == port) {
            return queued;
        }
    }
    return std::nullopt;
}

ScratchDir::ScratchDir(const std::string& prefix) {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            (prefix + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::unique_ptr<Process> Process::start(const std::vector<std::string>& argv,
                                        const std::filesystem::path& workDir,
                                        const std::filesystem::path& logFile) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed for " << argv.front() << ": " << std::strerror(errno);
    }
    if (pid == 0) {
        const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        if (::chdir(workDir.c_str()) != 0) {
            ::_exit(126);
        }
        // The test runner may block signals; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return std::make_unique<Process>(pid, logFile);
}

Process::Process(pid_t pid, std::filesystem::path logFile)
    : pid_(pid), logFile_(std::move(logFile)) {
    if (pid_ <= 0) {
        status_ = -1; // never started: nothing to wait for or to stop
    }
}

Process::~Process() {
    if (!status_) {
        stop(2s);
    }
}

std::string Process::output() const {
    std::ifstream in(logFile_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int occurrencesIn(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

int Process::countInOutput(const std::string& text) const {
    return occurrencesIn(output(), text);
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                            int occurrences) const {
    return waitUntil([&] { return countInOutput(text) >= occurrences; }, timeout, 20ms);
}

std::optional<int> Process::waitExit(std::chrono::milliseconds timeout) {
    waitUntil(
        [this] {
            int waitStatus = 0;
            if (!status_ && ::waitpid(pid_, &waitStatus, WNOHANG) == pid_) {
                status_ =
                    WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
            }
            return status_.has_value();
        },
        timeout, 10ms);
    return status_;
}

bool Process::running() {
    return !waitExit(0ms).has_value();
}

void Process::sendSignal(int signal) {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, signal);
    }
}

int Process::stop(std::chrono::milliseconds grace) {
    sendSignal(SIGTERM);
    if (!waitExit(grace)) {
        sendSignal(SIGKILL);
        waitExit(10s);
    }
    return status_.value_or(-1);
}

std::optional<std::uint64_t> ToolRun::number(const std::string& key) const {
    const std::string label = "\"" + key + "\":";
    const size_t at = json.find(label);
    const size_t start = at + label.size();
    const std::string text =
        at == std::string::npos ? "" : json.substr(start, json.find_first_of(",}", start) - start);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(text);
}

namespace {
// The last report line a tool printed, empty while it has printed none.
std::string lastReport(const std::string& output) {
    std::string report;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.front() == '{') {
            report = line;
        }
    }
    return report;
}
} // namespace

ToolRun finish(Process& process, std::chrono::milliseconds timeout) {
    // A tool whose report is out is only leaving: on a loaded 2-core machine the kernel's
    // teardown of a process with many threads and socket buffers took up to 20 s.
    constexpr auto kLeavingGrace = 60s;
    ToolRun run;
    std::optional<int> status = process.waitExit(timeout);
    if (!status && !lastReport(process.output()).empty()) {
        status = process.waitExit(kLeavingGrace);
    }
    if (!status) {
        process.stop();
    }
    run.status = status.value_or(-1);
    run.output = process.output();
    run.json = lastReport(run.output);
    return run;
}

std::unique_ptr<Process> startTool(const std::string& name, const std::vector<std::string>& args,
                                   const std::filesystem::path& dir,
                                   const std::vector<std::string>& launcher) {
    static std::atomic<int> counter{0};
    return Process::start(
        joined(joined(launcher, {std::string(VANDRA_TOOLS_DIR) + "/" + name}), args), dir,
        dir / (name + "_" + std::to_string(counter++) + ".log"));
}

ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                const std::filesystem::path& dir, std::chrono::milliseconds timeout) {
    return finish(*startTool(name, args, dir), timeout);
}

std::vector<std::string> publisherArgs(const std::string& group, int port,
                                       const std::vector<std::string>& extra,
                                       const std::string& iface) {
    return joined({"--group", group, "--port", std::to_string(port), "--iface", iface}, extra);
}

std::vector<std::string> callerArgs(const std::string& host, int port, int callers, double seconds,
                                    const std::vector<std::string>& extra) {
    return joined({"--host", host, "--port", std::to_string(port), "--callers",
                   std::to_string(callers), "--seconds", std::to_string(seconds)},
                  extra);
}

void expectLossless(const ToolRun& run, std::uint64_t callers, const std::string& who) {
    EXPECT_EQ(run.status, 0) << who << ": " << run.output;
    EXPECT_EQ(run.number("connected"), callers) << who << ": " << run.json;
    EXPECT_EQ(run.number("gaps"), 0u) << who << ": " << run.json;
    EXPECT_EQ(run.number("duplicates"), 0u) << who << ": " << run.json;
    EXPECT_EQ(run.number("corrupt"), 0u) << who << ": " << run.json;
    EXPECT_EQ(run.number("disconnected"), 0u) << who << ": " << run.json;
}

void figure(const std::string& text) {
    std::printf("[figures] %s\n", text.c_str());
    std::fflush(stdout);
}

void Footprint::raiseTo(const Footprint& other) {
    rssKb = std::max(rssKb, other.rssKb);
    threads = std::max(threads, other.threads);
    fds = std::max(fds, other.fds);
}

Footprint footprint(pid_t pid) {
    Footprint result;
    const std::filesystem::path proc = std::filesystem::path("/proc") / std::to_string(pid);
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
    for (std::filesystem::directory_iterator entry(proc / "fd", error), end; !error && entry != end;
         entry.increment(error)) {
        ++fds;
    }
    result.fds = error ? -1 : fds;
    return result;
}

Footprint settledFootprint(pid_t pid, const Footprint& before, std::chrono::milliseconds timeout) {
    Footprint after;
    waitUntil(
        [&] {
            after = footprint(pid);
            return after.fds <= before.fds && after.threads <= before.threads;
        },
        timeout);
    return after;
}

std::string describe(const Footprint& print) {
    return "rss " + std::to_string(print.rssKb / 1024) + " MiB, " + std::to_string(print.threads) +
           " threads, " + std::to_string(print.fds) + " fds";
}

ServerInstance::ServerInstance() {
    std::filesystem::copy_file(VANDRA_SERVER_BINARY, dir() / "vandra-server");
    if (std::filesystem::exists(VANDRA_WEB_FOLDER)) {
        std::filesystem::copy(VANDRA_WEB_FOLDER, dir() / "WEB",
                              std::filesystem::copy_options::recursive);
    }
}

void ServerInstance::writeIni(const std::string& text) const {
    std::ofstream(dir() / "server.ini", std::ios::binary) << text;
}

std::unique_ptr<Process> ServerInstance::run(const std::vector<std::string>& settings,
                                             const std::vector<std::string>& launcher) const {
    return Process::start(joined(joined(launcher, {(dir() / "vandra-server").string()}), settings),
                          dir(), dir() / "stdout.log");
}

ToolRun ServerInstance::runToExit(const std::vector<std::string>& settings,
                                  std::chrono::milliseconds timeout) const {
    return finish(*run(settings), timeout);
}

namespace {
// Whether process `pid` is a member of `group` in its network namespace, as the kernel's
// membership table (/proc/PID/net/igmp) says.
bool hasJoined(pid_t pid, const std::string& group) {
    in_addr address{};
    if (::inet_pton(AF_INET, group.c_str(), &address) != 1) {
        return false;
    }
    // The table prints each group's address as it lies in memory, in hex.
    char wanted[9] = {};
    std::snprintf(wanted, sizeof(wanted), "%08X", address.s_addr);
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/igmp");
    for (std::string word; table >> word;) {
        if (word == wanted) {
            return true;
        }
    }
    return false;
}
} // namespace

bool waitForJoin(Process& server, const std::string& group) {
    waitUntil([&] { return hasJoined(server.pid(), group) || !server.running(); }, 10s, 10ms);
    return server.running() && hasJoined(server.pid(), group);
}

ServerFixture::ServerFixture(const std::vector<std::string>& settings)
    : process(instance.run(joined(settings, {source.setting(), "port=" + std::to_string(srtPort),
                                             "webport=" + std::to_string(webPort)}))) {
    EXPECT_TRUE(waitForJoin(*process, source.group)) << log();
}

std::unique_ptr<Process>
ServerFixture::startPublisher(const std::vector<std::string>& extra) const {
    return startTool("vandra-publisher", publisherArgs(source.group, source.port, extra), dir());
}

ToolRun ServerFixture::publish(const std::vector<std::string>& extra) const {
    return finish(*startPublisher(extra), 60s);
}

std::unique_ptr<Process> ServerFixture::startCallers(int callers, double seconds,
                                                     const std::vector<std::string>& extra) const {
    return startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, callers, seconds, extra),
                     dir());
}

ToolRun ServerFixture::runCallers(int callers, double seconds, std::chrono::milliseconds timeout,
                                  const std::vector<std::string>& extra) const {
    return finish(*startCallers(callers, seconds, extra), timeout);
}

void ServerFixture::expectCleanStop(std::chrono::milliseconds reapTimeout) const {
    const int accepted = countInLog("accept new client");
    EXPECT_TRUE(waitForLog("del client (try del thread)", reapTimeout, accepted)) << log();
    EXPECT_EQ(process->stop(), kSigterm) << log();
    EXPECT_FALSE(contains(log(), "Sanitizer")) << log();
}

namespace {
constexpr std::size_t kTsPacket = 188;
constexpr std::size_t kChunkBytes = 1316;
constexpr std::uint16_t kNullPid = 0x1FFF;

std::uint16_t pidOf(const std::uint8_t* packet) {
    return static_cast<std::uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}

bool randomAccess(const std::uint8_t* packet) {
    const bool adaptation = (packet[3] & 0x20) != 0;
    return packet[0] == 0x47 && adaptation && packet[4] > 0 && (packet[5] & 0x40) != 0;
}

// The stream type of the first elementary stream of a PMT that starts in `packet`.
int firstStreamType(const std::uint8_t* packet) {
    if ((packet[1] & 0x40) == 0 || (packet[3] & 0x10) == 0) {
        return -1;
    }
    const std::size_t payload = (packet[3] & 0x20) != 0 ? 5u + packet[4] : 4u;
    const std::size_t section = payload + 1 + packet[payload]; // after the pointer field
    if (section + 12 >= kTsPacket || packet[section] != 0x02) {
        return -1;
    }
    const std::size_t infoLength = (packet[section + 10] & 0x0F) << 8 | packet[section + 11];
    const std::size_t firstStream = section + 12 + infoLength;
    return firstStream < kTsPacket ? packet[firstStream] : -1;
}
} // namespace

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int keyFramesIn(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
    int found = 0;
    for (std::size_t at = from; at + kTsPacket <= std::min(to, bytes.size()); at += kTsPacket) {
        found += randomAccess(bytes.data() + at) ? 1 : 0;
    }
    return found;
}

std::filesystem::path recordingIn(const std::filesystem::path& dir) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(dir, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind("server_", 0) == 0 && entry->path().extension() == ".ts") {
            return entry->path();
        }
    }
    return {};
}

std::unique_ptr<Process> startEncoder(const std::string& group, int port,
                                      const std::vector<std::string>& codec,
                                      const std::filesystem::path& dir,
                                      const std::vector<std::string>& launcher) {
    static std::atomic<int> counter{0};
    // ffmpeg sets no multicast interface; bound to 127.0.0.1 its datagrams leave through
    // loopback all the same.
    const std::string output =
        "udp://" + group + ":" + std::to_string(port) + "?pkt_size=1316&localaddr=127.0.0.1&ttl=1";
    std::vector<std::string> argv = joined(
        launcher, {"/usr/bin/ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-f",
                   "lavfi", "-i", "testsrc2=size=640x360:rate=25,noise=alls=10:allf=t", "-an"});
    argv = joined(joined(argv, codec), {"-f", "mpegts", output});
    return Process::start(argv, dir, dir / ("ffmpeg_" + std::to_string(counter++) + ".log"));
}

std::unique_ptr<Process> startFileCaller(const std::string& url, const std::filesystem::path& file,
                                         int seconds, const std::vector<std::string>& launcher) {
    const std::string command = "exec /usr/bin/srt-live-transmit -t:" + std::to_string(seconds) +
                                " -a:no -s:200 -pf:json -f -statsout:'" + file.string() +
                                ".stats' '" + url + "' file://con >'" + file.string() + "' 2>'" +
                                file.string() + ".err'";
    return Process::start(joined(launcher, {"/bin/sh", "-c", command}), file.parent_path(),
                          file.string() + ".log");
}

FastStartView viewFastStart(const std::vector<std::uint8_t>& received,
                            const std::vector<std::uint8_t>& recording) {
    FastStartView view;
    view.chunks = received.size() / kChunkBytes;
    if (view.chunks < 2) {
        return view;
    }
    const std::uint8_t* tables = received.data();
    view.tablesFirst = pidOf(tables) == 0 && pidOf(tables + kTsPacket) != 0 &&
                       pidOf(tables + kTsPacket) != kNullPid;
    for (std::size_t packet = 2; packet < 7; ++packet) {
        const std::uint16_t pid = pidOf(tables + packet * kTsPacket);
        view.tablesFirst =
            view.tablesFirst && (pid == kNullPid || pid == 0 || pid == pidOf(tables + kTsPacket));
    }
    view.videoStreamType = firstStreamType(tables + kTsPacket);
    for (int packet = 0; packet < 7 && view.keyFramePacket < 0; ++packet) {
        if (randomAccess(received.data() + kChunkBytes + packet * kTsPacket)) {
            view.keyFramePacket = packet;
        }
    }
    const std::size_t end = view.chunks * kChunkBytes;
    view.keyFrames = keyFramesIn(received, kChunkBytes, end);
    const auto first = received.begin() + kChunkBytes;
    const auto probe = first + static_cast<std::ptrdiff_t>(
                                   std::min<std::size_t>(end - kChunkBytes, 64 * kChunkBytes));
    const auto found = std::search(recording.begin(), recording.end(),
                                   std::boyer_moore_horspool_searcher(first, probe));
    if (found == recording.end()) {
        return view;
    }
    view.joinedAt = found - recording.begin();
    const auto mismatch = std::mismatch(first, received.begin() + static_cast<std::ptrdiff_t>(end),
                                        found, recording.end());
    view.matchingBytes = static_cast<std::size_t>(mismatch.first - first);
    return view;
}

std::string FastStartView::text() const {
    return "chunks " + std::to_string(chunks) + ", tables first " + std::to_string(tablesFirst) +
           ", stream type " + std::to_string(videoStreamType) + ", key frame at packet " +
           std::to_string(keyFramePacket) + ", joined the recording at byte " +
           std::to_string(joinedAt) + ", matching bytes " + std::to_string(matchingBytes) +
           ", key frames " + std::to_string(keyFrames);
}

} // namespace vandra::e2e
