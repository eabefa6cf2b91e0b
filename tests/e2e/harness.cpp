#include "harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vandra::e2e {

namespace {
int boundPort(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::filesystem::path freshFolder(const std::string& prefix) {
    static std::atomic<int> counter{0};
    const auto dir = std::filesystem::temp_directory_path() /
                     (prefix + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

int shellStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return -1;
}
} // namespace

std::string serverBinary() {
    return VANDRA_SERVER_BINARY;
}
std::string webFolder() {
    return VANDRA_WEB_FOLDER;
}
std::string toolBinary(const std::string& name) {
    return std::string(VANDRA_TOOLS_DIR) + "/" + name;
}

int freeUdpPort() {
    return boundPort(SOCK_DGRAM);
}
int freeTcpPort() {
    return boundPort(SOCK_STREAM);
}

std::string MulticastSource::setting() const {
    return "source=udp://" + group + ":" + std::to_string(port) + "(127.0.0.1)";
}

MulticastSource uniqueSource() {
    static std::atomic<int> counter{1};
    const int n = counter++;
    MulticastSource source;
    source.group =
        "239.255." + std::to_string(100 + ::getpid() % 150) + "." + std::to_string(n % 250 + 1);
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
    std::vector<std::string> inodes;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind("socket:[", 0) == 0) {
            inodes.push_back(target.substr(8, target.size() - 9));
        }
    }
    // Lines: "sl local_address(hex ip:hex port) rem_address st ... uid timeout inode ...".
    std::vector<int> ports;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        const size_t colon = local.find(':');
        if (colon != std::string::npos &&
            std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) {
            ports.push_back(std::stoi(local.substr(colon + 1), nullptr, 16));
        }
    }
    return ports;
}

std::unique_ptr<Process> Process::start(const std::vector<std::string>& argv,
                                        const std::filesystem::path& workDir,
                                        const std::filesystem::path& logFile) {
    const pid_t pid = ::fork();
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

int Process::countInOutput(const std::string& text) const {
    const std::string all = output();
    int count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++count;
    }
    return count;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                            int occurrences) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (countInOutput(text) >= occurrences) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return countInOutput(text) >= occurrences;
}

std::optional<int> Process::waitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int waitStatus = 0;
        const pid_t done = ::waitpid(pid_, &waitStatus, WNOHANG);
        if (done == pid_) {
            status_ = shellStatus(waitStatus);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    return status_;
}

bool Process::running() {
    return !waitExit(0ms).has_value();
}

void Process::sendSignal(int signal) {
    if (!status_) {
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

ServerInstance::ServerInstance(bool withWebFolder) : dir_(freshFolder("vandra_e2e_")) {
    std::filesystem::copy_file(serverBinary(), dir_ / "vandra-server");
    if (withWebFolder && std::filesystem::exists(webFolder())) {
        std::filesystem::copy(webFolder(), dir_ / "WEB", std::filesystem::copy_options::recursive);
    }
}

ServerInstance::~ServerInstance() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ServerInstance::writeIni(const std::string& text) const {
    std::ofstream(dir_ / "server.ini", std::ios::binary) << text;
}

std::unique_ptr<Process> ServerInstance::run(const std::vector<std::string>& settings) const {
    std::vector<std::string> argv{(dir_ / "vandra-server").string()};
    argv.insert(argv.end(), settings.begin(), settings.end());
    return Process::start(argv, dir_, dir_ / "stdout.log");
}

std::string ServerInstance::stdoutLog() const {
    std::ifstream in(dir_ / "stdout.log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::unique_ptr<Process> startTool(const std::string& name, const std::vector<std::string>& args,
                                   const std::filesystem::path& workDir) {
    static std::atomic<int> counter{0};
    std::vector<std::string> argv{toolBinary(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    return Process::start(argv, workDir,
                          workDir / (name + "_" + std::to_string(counter++) + ".log"));
}

RunningServer startServer(const MulticastSource& source, int srtPort,
                          const std::vector<std::string>& extraSettings) {
    RunningServer server;
    server.instance = std::make_unique<ServerInstance>();
    // The first value of a key wins, so the test's own settings go first.
    server.webPort = freeTcpPort();
    std::vector<std::string> settings = extraSettings;
    settings.insert(settings.end(), {source.setting(), "port=" + std::to_string(srtPort),
                                     "webport=" + std::to_string(server.webPort)});
    server.process = server.instance->run(settings);
    server.process->waitForOutput("-- used iface for MULTICAST GROUP: ", 10s);
    // The join follows the line at once; a short settle avoids racing the first datagrams.
    std::this_thread::sleep_for(200ms);
    return server;
}

} // namespace vandra::e2e
