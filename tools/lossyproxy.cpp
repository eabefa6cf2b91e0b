// vandra-lossyproxy: a UDP relay that loses and delays datagrams, for testing SRT callers over
// a bad link where the kernel offers no impairment qdisc. Each caller address gets its own
// upstream socket, so the server sees one peer per caller and its replies find the way back.
// Both directions are impaired alike. One JSON line with the counts on SIGTERM/SIGINT.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <queue>
#include <random>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "tools/cliargs.h"
#include "tools/toolcommon.h"
#include "tools/tsframe.h"

namespace vandra {
namespace {

constexpr std::size_t kMaxDatagram = 65536;
constexpr std::size_t kMaxSessions = 1024;
// Far more than any test link holds in flight; past it the relay drops rather than grows.
constexpr std::size_t kMaxQueued = 200'000;
constexpr std::int64_t kSessionIdleUs = 60'000'000;
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
constexpr int kMaxPollWaitMs = 200;

std::int64_t monotonicNowUs() {
    return static_cast<std::int64_t>(tsframe::monotonicNowUs());
}

struct Options {
    sockaddr_in listen{};
    sockaddr_in target{};
    double lossPercent = 0;
    std::uint64_t delayMs = 0;
    std::uint64_t jitterMs = 0;
    std::uint64_t seed = 1;
    bool reorder = false;
};

void printUsage() {
    std::fprintf(stderr, "usage: vandra-lossyproxy --listen IP:PORT --target IP:PORT [--loss PCT]\n"
                         "         [--delay-ms D] [--jitter-ms J] [--seed S] [--reorder]\n"
                         "  Each datagram, either way, is dropped with probability PCT/100 and\n"
                         "  otherwise delivered D±J ms later (uniformly). Jitter keeps the order\n"
                         "  of each direction, as a queue on a path would, unless --reorder.\n");
}

bool parseValue(std::string_view name, const char* value, Options& options) {
    if (name == "--listen") {
        return cli::parseAddress(value, options.listen);
    }
    if (name == "--target") {
        return cli::parseAddress(value, options.target);
    }
    if (name == "--loss") {
        return cli::parseDouble(value, options.lossPercent) && options.lossPercent <= 100;
    }
    if (name == "--delay-ms") {
        return cli::parseU64(value, options.delayMs) && options.delayMs <= 10000;
    }
    if (name == "--jitter-ms") {
        return cli::parseU64(value, options.jitterMs) && options.jitterMs <= 10000;
    }
    if (name == "--seed") {
        return cli::parseU64(value, options.seed);
    }
    if (name == "--reorder") {
        options.reorder = true;
        return true;
    }
    return false;
}

bool parseOptions(int argc, char** argv, Options& options) {
    bool haveListen = false;
    bool haveTarget = false;
    const bool parsed =
        cli::parseArgs(argc, argv, {"--reorder"}, [&](std::string_view name, const char* value) {
            haveListen = haveListen || name == "--listen";
            haveTarget = haveTarget || name == "--target";
            return parseValue(name, value, options);
        });
    if (parsed && (!haveListen || !haveTarget)) {
        std::fprintf(stderr, "--listen and --target are required\n");
        return false;
    }
    return parsed;
}

// Large buffers: a burst must not be lost in the relay, only by its dice.
std::unique_ptr<tool::UdpSocket> bufferedSocket() {
    auto socket = std::make_unique<tool::UdpSocket>();
    socket->setBuffer(SO_RCVBUF, kSocketBufferBytes);
    socket->setBuffer(SO_SNDBUF, kSocketBufferBytes);
    return socket;
}

// Datagrams in one direction: what came in, what the dice dropped, what went out.
struct DirectionCounts {
    std::uint64_t received = 0;
    std::uint64_t dropped = 0;
    std::uint64_t forwarded = 0;
    std::uint64_t sendErrors = 0;
};

struct AddressLess {
    bool operator()(const sockaddr_in& a, const sockaddr_in& b) const {
        if (a.sin_addr.s_addr != b.sin_addr.s_addr) {
            return a.sin_addr.s_addr < b.sin_addr.s_addr;
        }
        return a.sin_port < b.sin_port;
    }
};

struct Session {
    std::unique_ptr<tool::UdpSocket> upstream; // connected to the target
    std::int64_t lastActiveUs = 0;
};

// One datagram waiting for its delivery time. `order` keeps equal times first-in first-out.
struct Pending {
    std::int64_t dueUs = 0;
    std::uint64_t order = 0;
    bool toServer = false;
    sockaddr_in caller{};
    std::vector<std::uint8_t> data;
};

struct PendingLater {
    bool operator()(const Pending& a, const Pending& b) const {
        return a.dueUs != b.dueUs ? a.dueUs > b.dueUs : a.order > b.order;
    }
};

class LossyProxy {
public:
    explicit LossyProxy(const Options& options)
        : options_(options), random_(options.seed), buffer_(kMaxDatagram) {}

    bool open() {
        if (!listen_->valid() || !listen_->bind(options_.listen)) {
            std::perror("listen socket");
            return false;
        }
        return true;
    }

    void run() {
        std::vector<pollfd> fds;
        std::vector<sockaddr_in> owners; // caller of each upstream descriptor, by index
        while (!tool::stopRequested()) {
            collectDescriptors(fds, owners);
            if (poll(fds.data(), fds.size(), pollTimeoutMs()) < 0 && errno != EINTR) {
                std::perror("poll");
                return;
            }
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) {
                    continue;
                }
                if (i == 0) {
                    readFromCallers();
                } else {
                    readFromServer(fds[i].fd, owners[i - 1]);
                }
            }
            deliverDue();
            forgetIdleSessions();
        }
    }

    void report() const {
        tool::JsonLine()
            .number("sessions", sessionsOpened_)
            .number("to_server_received", toServer_.received)
            .number("to_server_dropped", toServer_.dropped)
            .number("to_server_forwarded", toServer_.forwarded)
            .number("to_caller_received", toCaller_.received)
            .number("to_caller_dropped", toCaller_.dropped)
            .number("to_caller_forwarded", toCaller_.forwarded)
            .number("send_errors", toServer_.sendErrors + toCaller_.sendErrors)
            .number("overflow", overflow_)
            .number("max_queued", maxQueued_)
            .print();
    }

private:
    void collectDescriptors(std::vector<pollfd>& fds, std::vector<sockaddr_in>& owners) const {
        fds.assign(1, pollfd{listen_->fd(), POLLIN, 0});
        owners.clear();
        for (const auto& [caller, session] : sessions_) {
            fds.push_back(pollfd{session.upstream->fd(), POLLIN, 0});
            owners.push_back(caller);
        }
    }

    int pollTimeoutMs() const {
        if (queue_.empty()) {
            return kMaxPollWaitMs;
        }
        const std::int64_t waitUs = queue_.top().dueUs - monotonicNowUs();
        if (waitUs <= 0) {
            return 0;
        }
        return static_cast<int>(std::min<std::int64_t>((waitUs + 999) / 1000, kMaxPollWaitMs));
    }

    void readFromCallers() {
        for (;;) {
            sockaddr_in caller{};
            socklen_t length = sizeof(caller);
            const ssize_t n = recvfrom(listen_->fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&caller), &length);
            if (n < 0) {
                return;
            }
            Session* session = sessionFor(caller);
            if (session == nullptr) {
                continue;
            }
            session->lastActiveUs = monotonicNowUs();
            admit(toServer_, true, caller, static_cast<std::size_t>(n));
        }
    }

    void readFromServer(int fd, const sockaddr_in& caller) {
        for (;;) {
            const ssize_t n = recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            if (n < 0) {
                return;
            }
            admit(toCaller_, false, caller, static_cast<std::size_t>(n));
        }
    }

    Session* sessionFor(const sockaddr_in& caller) {
        const auto found = sessions_.find(caller);
        if (found != sessions_.end()) {
            return &found->second;
        }
        if (sessions_.size() >= kMaxSessions) {
            return nullptr;
        }
        auto upstream = bufferedSocket();
        if (!upstream->valid() || !upstream->connect(options_.target)) {
            std::perror("upstream socket");
            return nullptr;
        }
        ++sessionsOpened_;
        Session& session = sessions_[caller];
        session.upstream = std::move(upstream);
        return &session;
    }

    void admit(DirectionCounts& counts, bool toServer, const sockaddr_in& caller,
               std::size_t length) {
        ++counts.received;
        if (lose()) {
            ++counts.dropped;
            return;
        }
        if (queue_.size() >= kMaxQueued) {
            ++overflow_;
            return;
        }
        Pending pending;
        pending.dueUs = dueTime(toServer);
        pending.order = nextOrder_++;
        pending.toServer = toServer;
        pending.caller = caller;
        pending.data.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
        queue_.push(std::move(pending));
        maxQueued_ = std::max<std::uint64_t>(maxQueued_, queue_.size());
    }

    bool lose() {
        if (options_.lossPercent <= 0) {
            return false;
        }
        return std::uniform_real_distribution<double>(0.0, 100.0)(random_) < options_.lossPercent;
    }

    std::int64_t dueTime(bool toServer) {
        const std::int64_t dueUs = monotonicNowUs() + delayUs();
        if (options_.reorder) {
            return dueUs;
        }
        std::int64_t& lastDueUs = toServer ? lastDueToServerUs_ : lastDueToCallerUs_;
        lastDueUs = std::max(lastDueUs, dueUs);
        return lastDueUs;
    }

    std::int64_t delayUs() {
        const auto base = static_cast<std::int64_t>(options_.delayMs) * 1000;
        const auto jitter = static_cast<std::int64_t>(options_.jitterMs) * 1000;
        if (jitter == 0) {
            return base;
        }
        const std::int64_t offset =
            std::uniform_int_distribution<std::int64_t>(-jitter, jitter)(random_);
        return std::max<std::int64_t>(0, base + offset);
    }

    void deliverDue() {
        const std::int64_t nowUs = monotonicNowUs();
        while (!queue_.empty() && queue_.top().dueUs <= nowUs) {
            const Pending& pending = queue_.top();
            if (pending.toServer) {
                sendToServer(pending);
            } else {
                sendToCaller(pending);
            }
            queue_.pop();
        }
    }

    void sendToServer(const Pending& pending) {
        const auto found = sessions_.find(pending.caller);
        if (found == sessions_.end() ||
            send(found->second.upstream->fd(), pending.data.data(), pending.data.size(), 0) < 0) {
            ++toServer_.sendErrors;
            return;
        }
        ++toServer_.forwarded;
    }

    void sendToCaller(const Pending& pending) {
        const auto* address = reinterpret_cast<const sockaddr*>(&pending.caller);
        if (sendto(listen_->fd(), pending.data.data(), pending.data.size(), 0, address,
                   sizeof(pending.caller)) < 0) {
            ++toCaller_.sendErrors;
            return;
        }
        ++toCaller_.forwarded;
    }

    // A caller that went quiet long ago is gone; its upstream socket goes with it.
    void forgetIdleSessions() {
        const std::int64_t nowUs = monotonicNowUs();
        std::erase_if(sessions_, [nowUs](const auto& entry) {
            return nowUs - entry.second.lastActiveUs > kSessionIdleUs;
        });
    }

    const Options& options_;
    std::unique_ptr<tool::UdpSocket> listen_ = bufferedSocket();
    std::map<sockaddr_in, Session, AddressLess> sessions_;
    std::priority_queue<Pending, std::vector<Pending>, PendingLater> queue_;
    std::mt19937_64 random_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t nextOrder_ = 0;
    std::int64_t lastDueToServerUs_ = 0;
    std::int64_t lastDueToCallerUs_ = 0;
    DirectionCounts toServer_;
    DirectionCounts toCaller_;
    std::uint64_t sessionsOpened_ = 0;
    std::uint64_t overflow_ = 0;
    std::uint64_t maxQueued_ = 0;
};

} // namespace
} // namespace vandra

int main(int argc, char** argv) {
    using namespace vandra;
    Options options;
    if (!parseOptions(argc, argv, options)) {
        printUsage();
        return tool::kExitUsage;
    }
    tool::installStopHandlers();
    LossyProxy proxy(options);
    return tool::openRunAndReport(proxy);
}
