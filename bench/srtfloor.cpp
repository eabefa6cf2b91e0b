// vandra_srtfloor: the least a multicast-to-SRT relay can do. One thread reads the group and hands
// every datagram to srt_sendmsg2 for each accepted caller; a caller whose send fails is dropped.
// No buffering, no statistics, no web page: its CPU use is what libsrt alone costs, the floor
// bench/compare.sh measures the relays against.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <srt/srt.h>

namespace vandra {
namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailed = 1;
constexpr int kListenBacklog = 1024;         // as the server: a storm of hundreds queued whole
constexpr int kReceiveBufferBytes = 6553600; // what the server asks for, so both queue alike
constexpr int kAcceptIntervalMs = 10;
constexpr int kMaxDatagramsPerWake = 64; // bounds how long a burst can delay accepting
constexpr std::size_t kDatagramCapacity = 1500;
constexpr const char* kLoopback = "127.0.0.1";

volatile std::sig_atomic_t gStopRequested = 0;

void onStopSignal(int) {
    gStopRequested = 1;
}

struct Options {
    std::string group;
    std::uint16_t port = 0;
    std::uint16_t srtPort = 0;
    int latencyMs = 0;
};

bool parsePort(const char* text, std::uint16_t& port) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > 65535) {
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parseOptions(int argc, char** argv, Options& options) {
    if (argc != 5) {
        return false;
    }
    options.group = argv[1];
    char* end = nullptr;
    const long latency = std::strtol(argv[4], &end, 10);
    if (end == argv[4] || *end != '\0' || latency < 0 || latency > 60000) {
        return false;
    }
    options.latencyMs = static_cast<int>(latency);
    return parsePort(argv[2], options.port) && parsePort(argv[3], options.srtPort);
}

std::int64_t monotonicNowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// srt_startup/srt_cleanup for the lifetime of main.
class SrtLibrary {
public:
    SrtLibrary() : started_(srt_startup() >= 0) {}
    ~SrtLibrary() {
        if (started_) {
            srt_cleanup();
        }
    }
    SrtLibrary(const SrtLibrary&) = delete;
    SrtLibrary& operator=(const SrtLibrary&) = delete;
    bool started() const { return started_; }

private:
    bool started_;
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

class SrtSocket {
public:
    explicit SrtSocket(SRTSOCKET socket) : socket_(socket) {}
    ~SrtSocket() {
        if (socket_ != SRT_INVALID_SOCK) {
            srt_close(socket_);
        }
    }
    SrtSocket(const SrtSocket&) = delete;
    SrtSocket& operator=(const SrtSocket&) = delete;
    SRTSOCKET get() const { return socket_; }

private:
    SRTSOCKET socket_;
};

bool toAddress(const char* text, std::uint16_t port, sockaddr_in& address) {
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return inet_pton(AF_INET, text, &address.sin_addr) == 1;
}

// Bound to the group address itself, so other groups on the same port stay out.
bool joinGroup(int fd, const Options& options) {
    const int yes = 1;
    const int receiveBuffer = kReceiveBufferBytes;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    sockaddr_in local{};
    ip_mreq request{};
    if (!toAddress(options.group.c_str(), options.port, local) ||
        inet_pton(AF_INET, kLoopback, &request.imr_interface) != 1) {
        std::fprintf(stderr, "bad group address %s\n", options.group.c_str());
        return false;
    }
    request.imr_multiaddr = local.sin_addr;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) != 0) {
        std::perror("join group");
        return false;
    }
    return true;
}

// Non-blocking both ways, inherited by the accepted callers: the one thread must never wait
// on a single caller.
bool listen(SRTSOCKET listener, const Options& options) {
    const int no = 0;
    const int latency = options.latencyMs;
    sockaddr_in local{};
    toAddress(kLoopback, options.srtPort, local);
    if (srt_setsockflag(listener, SRTO_LATENCY, &latency, sizeof(latency)) != 0 ||
        srt_setsockflag(listener, SRTO_RCVSYN, &no, sizeof(no)) != 0 ||
        srt_setsockflag(listener, SRTO_SNDSYN, &no, sizeof(no)) != 0 ||
        srt_bind(listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
        srt_listen(listener, kListenBacklog) != 0) {
        std::fprintf(stderr, "SRT listener: %s\n", srt_getlasterror_str());
        return false;
    }
    return true;
}

class Relay {
public:
    Relay(int udp, SRTSOCKET listener) : udp_(udp), listener_(listener) {}
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    ~Relay() {
        for (const SRTSOCKET caller : callers_) {
            srt_close(caller);
        }
    }

    void run() {
        std::int64_t lastAcceptMs = 0;
        std::vector<char> datagram(kDatagramCapacity);
        while (gStopRequested == 0) {
            pollfd readable{udp_, POLLIN, 0};
            poll(&readable, 1, kAcceptIntervalMs);
            const std::int64_t nowMs = monotonicNowMs();
            if (nowMs - lastAcceptMs >= kAcceptIntervalMs) {
                acceptPending();
                lastAcceptMs = nowMs;
            }
            forwardAvailable(datagram);
        }
    }

    void printTotals() const {
        std::printf("{\"datagrams\":%llu,\"accepted\":%llu,\"dropped\":%llu}\n",
                    static_cast<unsigned long long>(datagrams_),
                    static_cast<unsigned long long>(accepted_),
                    static_cast<unsigned long long>(dropped_));
        std::fflush(stdout);
    }

private:
    void acceptPending() {
        for (;;) {
            sockaddr_storage peer{};
            int peerLength = sizeof(peer);
            const SRTSOCKET caller =
                srt_accept(listener_, reinterpret_cast<sockaddr*>(&peer), &peerLength);
            if (caller == SRT_INVALID_SOCK) {
                return;
            }
            callers_.push_back(caller);
            ++accepted_;
        }
    }

    void forwardAvailable(std::vector<char>& datagram) {
        for (int i = 0; i < kMaxDatagramsPerWake; ++i) {
            const ssize_t length = recv(udp_, datagram.data(), datagram.size(), MSG_DONTWAIT);
            if (length < 0) {
                return;
            }
            ++datagrams_;
            sendToCallers(datagram.data(), static_cast<int>(length));
        }
    }

    void sendToCallers(const char* data, int length) {
        for (std::size_t i = 0; i < callers_.size();) {
            if (srt_sendmsg2(callers_[i], data, length, nullptr) != SRT_ERROR) {
                ++i;
                continue;
            }
            srt_close(callers_[i]);
            callers_[i] = callers_.back();
            callers_.pop_back();
            ++dropped_;
        }
    }

    int udp_;
    SRTSOCKET listener_;
    std::vector<SRTSOCKET> callers_;
    std::uint64_t datagrams_ = 0;
    std::uint64_t accepted_ = 0;
    std::uint64_t dropped_ = 0;
};

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

} // namespace
} // namespace vandra

int main(int argc, char** argv) {
    using namespace vandra;
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: vandra_srtfloor GROUP PORT SRT_PORT LATENCY_MS\n"
                             "  joins GROUP:PORT on 127.0.0.1 and sends every datagram to every\n"
                             "  SRT caller of 127.0.0.1:SRT_PORT; prints totals on SIGTERM.\n");
        return kExitUsage;
    }
    installStopHandlers();
    SrtLibrary library;
    if (!library.started()) {
        std::fprintf(stderr, "srt_startup: %s\n", srt_getlasterror_str());
        return kExitFailed;
    }
    // libsrt logs every empty non-blocking accept as an error; the floor must not pay for that.
    srt_setloglevel(LOG_CRIT);
    const FileDescriptor udp(socket(AF_INET, SOCK_DGRAM, 0));
    const SrtSocket listener(srt_create_socket());
    if (udp.get() < 0 || listener.get() == SRT_INVALID_SOCK || !joinGroup(udp.get(), options) ||
        !listen(listener.get(), options)) {
        return kExitFailed;
    }
    Relay relay(udp.get(), listener.get());
    relay.run();
    relay.printTotals();
    return 0;
}
