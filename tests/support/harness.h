#pragma once

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vandra::e2e {

using namespace std::chrono_literals;

constexpr int kSigterm = 128 + SIGTERM;
constexpr int kSigkill = 128 + SIGKILL;

bool contains(const std::string& text, const std::string& part);
// How often `part` occurs in `text`, overlaps counted.
int occurrencesIn(const std::string& text, const std::string& part);
// `first` followed by `second`: a command line put together from its parts.
std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string>& second);

sockaddr_in loopbackAddress(int port);

class Socket {
public:
    explicit Socket(int type);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    // Binds to 127.0.0.1:port, 0 meaning any free one.
    bool bindLoopback(int port = 0) const;
    int localPort() const;

private:
    int fd_;
};

// Ports free on every address a moment ago, below the ephemeral range (freeport.h).
int freeUdpPort();
int freeTcpPort();

struct MulticastSource {
    std::string group;
    int port = 0;
    // "source=udp://GROUP:PORT(127.0.0.1)", or under another key (source2).
    std::string setting(const std::string& key = "source") const;
};
MulticastSource uniqueSource();

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 100ms);

std::vector<int> udpPortsOfProcess(pid_t pid);
// Bytes waiting in the receive queue of the IPv4 UDP socket on `port` in the network namespace
// of process `pid`; empty when there is none.
std::optional<std::uint64_t> udpReceiveQueue(pid_t pid, int port);

class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "vandra_e2e_");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A child process whose stdout and stderr go to a log file. Stopped by PID on destruction.
class Process {
public:
    static std::unique_ptr<Process> start(const std::vector<std::string>& argv,
                                          const std::filesystem::path& workDir,
                                          const std::filesystem::path& logFile);
    // A pid of 0 or below (a failed fork) is never signalled: kill() would take it for a
    // process group, or for every process of the user.
    Process(pid_t pid, std::filesystem::path logFile);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                       int occurrences = 1) const;
    int countInOutput(const std::string& text) const;
    // Exit status as the shell shows it (0..255, or 128 + signal), if it ended in time.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    void sendSignal(int signal);
    int stop(std::chrono::milliseconds grace = 5s);
    bool running();

private:
    pid_t pid_;
    std::filesystem::path logFile_;
    std::optional<int> status_;
};

// How a process ended and what it said. The tools report on their last line that starts with
// '{'; their warnings go to the same log.
struct ToolRun {
    int status = -1; // -1: had to be stopped
    std::string output;
    std::string json;

    std::optional<std::uint64_t> number(const std::string& key) const;
};

ToolRun finish(Process& process, std::chrono::milliseconds timeout);

// Starts a tool from the build with its arguments; its log goes into `dir`. `launcher` goes
// before the command (to run it in a network namespace, say).
std::unique_ptr<Process> startTool(const std::string& name, const std::vector<std::string>& args,
                                   const std::filesystem::path& dir,
                                   const std::vector<std::string>& launcher = {});
ToolRun runTool(const std::string& name, const std::vector<std::string>& args,
                const std::filesystem::path& dir, std::chrono::milliseconds timeout);

std::vector<std::string> publisherArgs(const std::string& group, int port,
                                       const std::vector<std::string>& extra,
                                       const std::string& iface = "127.0.0.1");
std::vector<std::string> callerArgs(const std::string& host, int port, int callers, double seconds,
                                    const std::vector<std::string>& extra = {});

void expectLossless(const ToolRun& run, std::uint64_t callers, const std::string& who);

void figure(const std::string& text);

// A process as the kernel sees it; -1 where it could not be read.
struct Footprint {
    std::int64_t rssKb = -1;
    int threads = -1;
    int fds = -1;

    void raiseTo(const Footprint& other);
};
Footprint footprint(pid_t pid);
std::string describe(const Footprint& print);
// The footprint once descriptors and threads are back to `before`, or when the time is up.
Footprint settledFootprint(pid_t pid, const Footprint& before, std::chrono::milliseconds timeout);

// A private copy of the server executable in a fresh folder, so that server.ini and WEB
// beside it are under the test's control. The folder is also the working directory.
class ServerInstance {
public:
    ServerInstance();

    const std::filesystem::path& dir() const { return dir_.path(); }
    void writeIni(const std::string& text) const;
    std::unique_ptr<Process> run(const std::vector<std::string>& settings = {},
                                 const std::vector<std::string>& launcher = {}) const;
    ToolRun runToExit(const std::vector<std::string>& settings,
                      std::chrono::milliseconds timeout = 10s) const;

private:
    ScratchDir dir_;
};

// Waits (10 s at most) until the server is a member of its group, from when on every datagram
// sent to it reaches the server's socket; false when it did not join or ended.
bool waitForJoin(Process& server, const std::string& group);

struct ServerFixture {
    MulticastSource source = uniqueSource();
    int srtPort = freeUdpPort();
    int webPort = freeTcpPort(); // unless the settings choose another
    ServerInstance instance;
    std::unique_ptr<Process> process;

    // The first value of a key wins, so the test's own settings go before the defaults.
    explicit ServerFixture(const std::vector<std::string>& settings = {});

    const std::filesystem::path& dir() const { return instance.dir(); }
    std::string log() const { return process->output(); }
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout,
                    int occurrences = 1) const {
        return process->waitForOutput(text, timeout, occurrences);
    }
    int countInLog(const std::string& text) const { return process->countInOutput(text); }

    std::unique_ptr<Process> startPublisher(const std::vector<std::string>& extra) const;
    ToolRun publish(const std::vector<std::string>& extra) const;
    std::unique_ptr<Process> startCallers(int callers, double seconds,
                                          const std::vector<std::string>& extra = {}) const;
    ToolRun runCallers(int callers, double seconds, std::chrono::milliseconds timeout,
                       const std::vector<std::string>& extra = {}) const;

    // Every caller that connected has gone by now, and each must be reaped (its thread
    // joined) in time: one that vanished is noticed by SRT's idle timeout (about 5 s) and the
    // registry reaps every 3 s. Then the server must end by SIGTERM only, with no sanitizer
    // report.
    void expectCleanStop(std::chrono::milliseconds reapTimeout = 12s) const;
};

std::vector<std::uint8_t> readBytes(const std::filesystem::path& file);
int keyFramesIn(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to);
std::filesystem::path recordingIn(const std::filesystem::path& dir);

// ffmpeg encoding a moving test picture in real time, video only, as an MPEG transport stream
// sent in 1316-byte datagrams to `group`:`port` through loopback (or the namespace's lo).
// `codec` are ffmpeg's output options for the video, e.g. {"-c:v", "libx264", "-g", "25"}.
std::unique_ptr<Process> startEncoder(const std::string& group, int port,
                                      const std::vector<std::string>& codec,
                                      const std::filesystem::path& dir,
                                      const std::vector<std::string>& launcher = {});

// srt-live-transmit calling `url` for `seconds` and writing what it receives to `file`; its
// messages go to FILE.err and its statistics (JSON, full counters, every 200 packets) to
// FILE.stats.
std::unique_ptr<Process> startFileCaller(const std::string& url, const std::filesystem::path& file,
                                         int seconds,
                                         const std::vector<std::string>& launcher = {});

// What a caller of a fast-start server received, read against the server's recording.
struct FastStartView {
    std::size_t chunks = 0;        // whole chunks received
    bool tablesFirst = false;      // chunk 0: PAT, PMT, then null packets
    int videoStreamType = -1;      // of the first stream in that PMT
    int keyFramePacket = -1;       // packet of chunk 1 with the random access indicator
    std::int64_t joinedAt = -1;    // where chunk 1 on starts in the recording; -1: nowhere
    std::size_t matchingBytes = 0; // from chunk 1 on, equal to the recording from joinedAt
    int keyFrames = 0;             // packets with the random access indicator from chunk 1 on

    // Everything from chunk 1 on is the recording's bytes, in order, with nothing missing.
    bool contiguous() const { return joinedAt >= 0 && matchingBytes + 1316 == chunks * 1316; }
    std::string text() const;
};
FastStartView viewFastStart(const std::vector<std::uint8_t>& received,
                            const std::vector<std::uint8_t>& recording);

} // namespace vandra::e2e
