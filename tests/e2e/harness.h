#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Runs the real server and the real tools as processes, on loopback only.
namespace vandra::e2e {

using namespace std::chrono_literals;

std::string serverBinary();
std::string webFolder();
// A tool built with the project (vandra-publisher, vandra-loadclient, vandra-tscheck).
std::string toolBinary(const std::string& name);

// Ports that were free a moment ago (bound to 0, read back, released).
int freeUdpPort();
int freeTcpPort();

// A multicast group and port no other test of this run uses.
struct MulticastSource {
    std::string group;
    int port = 0;
    // The server's "source" setting for this group, received through loopback.
    std::string setting() const;
};
MulticastSource uniqueSource();

// Polls `condition` every `interval` until it holds or the time is up; true when it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 100ms);

// Local ports of the IPv4 UDP sockets that process `pid` holds open (from /proc).
std::vector<int> udpPortsOfProcess(pid_t pid);

// A child process whose stdout and stderr go to a log file. Stopped by PID on destruction.
class Process {
public:
    static std::unique_ptr<Process> start(const std::vector<std::string>& argv,
                                          const std::filesystem::path& workDir,
                                          const std::filesystem::path& logFile);
    Process(pid_t pid, std::filesystem::path logFile) : pid_(pid), logFile_(std::move(logFile)) {}
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;
    // Polls the log until `text` appears `occurrences` times or the time is up.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                       int occurrences = 1) const;
    int countInOutput(const std::string& text) const;
    // Exit status as the shell shows it (0..255, or 128 + signal), if it ended in time.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    void sendSignal(int signal);
    // SIGTERM, then SIGKILL after a grace period; returns the exit status.
    int stop(std::chrono::milliseconds grace = 5s);
    bool running();

private:
    pid_t pid_;
    std::filesystem::path logFile_;
    std::optional<int> status_;
};

// A private copy of the server executable in a fresh folder, so that server.ini and WEB
// beside it are under the test's control. The folder is also the working directory.
class ServerInstance {
public:
    explicit ServerInstance(bool withWebFolder = true);
    ~ServerInstance();
    ServerInstance(const ServerInstance&) = delete;
    ServerInstance& operator=(const ServerInstance&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    void writeIni(const std::string& text) const;
    std::unique_ptr<Process> run(const std::vector<std::string>& settings = {}) const;
    std::string stdoutLog() const;

private:
    std::filesystem::path dir_;
};

// Starts a tool from the build with its arguments; its output goes into `workDir`.
std::unique_ptr<Process> startTool(const std::string& name, const std::vector<std::string>& args,
                                   const std::filesystem::path& workDir);

// Starts a server on `source` with the SRT port `srtPort` and waits until it receives.
struct RunningServer {
    std::unique_ptr<ServerInstance> instance;
    std::unique_ptr<Process> process;
    int webPort = 0; // unless the extra settings chose another
};
RunningServer startServer(const MulticastSource& source, int srtPort,
                          const std::vector<std::string>& extraSettings = {});

} // namespace vandra::e2e
