// vandra-httpflood: what an abusive or merely busy neighbour does to a web port, from one
// epoll loop, all at once and for a bounded time:
//   --slow N       connections that send a request header one line at a time, never ending it
//   --idle N       connections that send nothing at all
//   --oversize-*   one request each with a huge URI, thousands of header lines, or a huge body
//   --probe PATH   a fresh connection every --probe-interval-ms asking PATH, timed
//   --scrape PATH  paced requests on kept-alive connections (--scrape-rate per second in all)
// Connections come from --sources addresses (127.0.0.1 up, or from --source-base up), probes
// from --probe-source when given (a visitor who is not one of the crowd); slow and idle ones
// the server closes are opened again after --reopen-ms. One JSON line at the end.

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <queue>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tools/cliargs.h"
#include "tools/toolcommon.h"
#include "tools/tsframe.h"

namespace vandra {
namespace {

constexpr std::size_t kMaxConnections = 20'000;
constexpr std::size_t kMaxAnswerBytes = 16 * 1024 * 1024;
constexpr std::size_t kFillerBytes = 64 * 1024;
constexpr int kMaxWaitMs = 50;

std::int64_t nowUs() {
    return static_cast<std::int64_t>(tsframe::monotonicNowUs());
}

enum class Kind { Slow, Idle, Probe, Scrape, Oversize };

// Answer times of one kind of request, in microseconds.
struct Timings {
    std::uint64_t sent = 0;
    std::uint64_t ok = 0;     // a 2xx answer within the time limit
    std::uint64_t late = 0;   // no whole answer within the time limit
    std::uint64_t failed = 0; // closed, refused or not 2xx
    std::vector<std::int64_t> us;

    std::int64_t percentile(double p) {
        if (us.empty()) {
            return 0;
        }
        std::sort(us.begin(), us.end());
        const auto at = static_cast<std::size_t>(p * static_cast<double>(us.size() - 1) + 0.5);
        return us[std::min(at, us.size() - 1)];
    }
    tool::JsonLine json() {
        tool::JsonLine line;
        line.number("sent", sent).number("ok", ok).number("late", late).number("failed", failed);
        line.millisecondsOrNull("p50_ms", !us.empty(), static_cast<std::uint64_t>(percentile(0.5)));
        line.millisecondsOrNull("p99_ms", !us.empty(),
                                static_cast<std::uint64_t>(percentile(0.99)));
        line.millisecondsOrNull("max_ms", !us.empty(), static_cast<std::uint64_t>(percentile(1)));
        return line;
    }
};

// Connections the server may close: how many, and how long they lived.
struct Holders {
    std::uint64_t target = 0;
    std::uint64_t opened = 0;
    std::uint64_t connectFailed = 0;
    std::uint64_t closedByServer = 0;
    std::uint64_t answered = 0; // got bytes back (an error status, say) before the close
    std::uint64_t lines = 0;
    std::uint64_t openAtEnd = 0;
    std::int64_t maxLifeUs = 0;

    tool::JsonLine json() const {
        tool::JsonLine line;
        line.number("target", target).number("opened", opened);
        line.number("connect_failed", connectFailed).number("closed_by_server", closedByServer);
        line.number("answered", answered).number("lines", lines).number("open_at_end", openAtEnd);
        line.millisecondsOrNull("max_life_ms", maxLifeUs > 0,
                                static_cast<std::uint64_t>(maxLifeUs));
        return line;
    }
};

struct Oversize {
    std::string name;
    std::string head; // the request up to its body
    std::uint64_t bodyBytes = 0;
    std::uint64_t sentBytes = 0;
    int status = -1;          // -1: closed without an answer
    std::int64_t doneUs = -1; // when it was answered or closed
};

struct Options {
    sockaddr_in target{};
    in_addr sourceBase{};
    std::uint64_t sources = 0; // 0: let the kernel choose
    std::optional<in_addr> probeSource;
    double seconds = 10;
    std::uint64_t slow = 0;
    std::uint64_t slowIntervalMs = 2000;
    std::uint64_t idle = 0;
    std::uint64_t reopenMs = 1000;
    std::vector<std::string> probes;
    std::uint64_t probeIntervalMs = 500;
    std::uint64_t probeTimeoutMs = 1000;
    std::vector<std::string> scrapes;
    double scrapeRate = 0;
    std::uint64_t scrapeTimeoutMs = 1000;
    std::uint64_t oversizeUri = 0;
    std::uint64_t oversizeHeaders = 0;
    std::uint64_t oversizeBody = 0;
    std::string oversizePath = "/stats";
    std::string authorization; // a whole header line, or empty
};

struct Connection {
    int fd = -1;
    Kind kind = Kind::Idle;
    bool connected = false;
    std::size_t path = 0; // index into probes or scrapes; the oversize number
    std::int64_t openedUs = 0;
    std::string out;                   // bytes still to send
    std::string in;                    // the answer so far
    std::int64_t requestUs = 0;        // when the pending request was due (0: none pending)
    std::deque<std::int64_t> queuedUs; // when each scrape due while one was pending fell due
    std::uint64_t lines = 0;
};

class HttpFlood {
public:
    explicit HttpFlood(Options options) : options_(std::move(options)) {
        holders_[0].target = options_.slow;
        holders_[1].target = options_.idle;
        probeTimes_.resize(options_.probes.size());
        scrapeTimes_.resize(options_.scrapes.size());
        scrapeConnections_.assign(options_.scrapes.size(), nullptr);
    }
    ~HttpFlood() {
        for (auto& connection : connections_) {
            if (connection && connection->fd >= 0) {
                ::close(connection->fd);
            }
        }
        if (epoll_ >= 0) {
            ::close(epoll_);
        }
    }
    HttpFlood(const HttpFlood&) = delete;
    HttpFlood& operator=(const HttpFlood&) = delete;

    bool open() {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) {
            std::perror("epoll_create1");
            return false;
        }
        startUs_ = nowUs();
        endUs_ = startUs_ + static_cast<std::int64_t>(options_.seconds * 1e6);
        prepareOversize();
        for (std::size_t i = 0; i < oversize_.size(); ++i) {
            startConnection(Kind::Oversize, i);
        }
        for (std::uint64_t i = 0; i < options_.slow; ++i) {
            startConnection(Kind::Slow, 0);
        }
        for (std::uint64_t i = 0; i < options_.idle; ++i) {
            startConnection(Kind::Idle, 0);
        }
        nextProbeUs_ = startUs_;
        nextScrapeUs_ = startUs_;
        return true;
    }

    void run() {
        std::vector<epoll_event> events(1024);
        while (!tool::stopRequested() && nowUs() < endUs_) {
            const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()),
                                       kMaxWaitMs / 5);
            if (n < 0 && errno != EINTR) {
                std::perror("epoll_wait");
                break;
            }
            for (int i = 0; i < n; ++i) {
                handleEvent(*static_cast<Connection*>(events[static_cast<size_t>(i)].data.ptr),
                            events[static_cast<size_t>(i)].events);
            }
            const std::int64_t now = nowUs();
            startDueRequests(now);
            serviceTimers(now);
            reapClosed();
        }
        drainAnswers();
    }

    // The answers still owed when the time is up, waited for as long as they may take, so
    // that every request sent ends as answered, late or failed.
    void drainAnswers() {
        const std::int64_t limit =
            nowUs() + std::max(timeoutUsOf(Kind::Probe), timeoutUsOf(Kind::Scrape));
        std::vector<epoll_event> events(1024);
        while (!tool::stopRequested() && nowUs() < limit && answersOwed()) {
            const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()),
                                       kMaxWaitMs / 5);
            for (int i = 0; i < n; ++i) {
                handleEvent(*static_cast<Connection*>(events[static_cast<size_t>(i)].data.ptr),
                            events[static_cast<size_t>(i)].events);
            }
            reapClosed();
        }
    }

    bool answersOwed() const {
        return std::any_of(connections_.begin(), connections_.end(), [](const auto& connection) {
            return connection->fd >= 0 && connection->requestUs != 0;
        });
    }

    void report() {
        for (auto& connection : connections_) {
            if (connection->fd >= 0 && connection->requestUs != 0 &&
                nowUs() - connection->requestUs > timeoutUsOf(connection->kind)) {
                failRequest(*connection); // still unanswered, and already late
            }
            if (connection && connection->fd >= 0 &&
                (connection->kind == Kind::Slow || connection->kind == Kind::Idle)) {
                Holders& holders = holdersOf(connection->kind);
                ++holders.openAtEnd;
                holders.maxLifeUs = std::max(holders.maxLifeUs, nowUs() - connection->openedUs);
            }
        }
        tool::JsonLine line;
        line.millisecondsOrNull("run_ms", true, static_cast<std::uint64_t>(nowUs() - startUs_));
        if (options_.slow > 0) {
            line.object("slow", holders_[0].json());
        }
        if (options_.idle > 0) {
            line.object("idle", holders_[1].json());
        }
        for (std::size_t i = 0; i < options_.probes.size(); ++i) {
            line.object("probe" + keyOf(options_.probes[i]), probeTimes_[i].json());
        }
        for (std::size_t i = 0; i < options_.scrapes.size(); ++i) {
            line.object("scrape" + keyOf(options_.scrapes[i]), scrapeTimes_[i].json());
        }
        line.number("scrape_reconnects", scrapeReconnects_);
        for (const Oversize& request : oversize_) {
            tool::JsonLine inner;
            inner.number("sent", request.sentBytes);
            inner.numberOrNull("status", request.status >= 0,
                               static_cast<std::uint64_t>(std::max(request.status, 0)));
            inner.millisecondsOrNull("done_ms", request.doneUs >= 0,
                                     static_cast<std::uint64_t>(request.doneUs));
            line.object("oversize_" + request.name, inner);
        }
        line.number("connections_refused", refused_);
        line.print();
    }

private:
    // "/api/v1/status" -> "_api_v1_status": unique keys for the JSON readers.
    static std::string keyOf(const std::string& path) {
        std::string key = path;
        std::replace_if(
            key.begin(), key.end(),
            [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
        return key;
    }

    Holders& holdersOf(Kind kind) { return holders_[kind == Kind::Slow ? 0 : 1]; }

    std::string requestFor(const std::string& path, bool close) const {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + options_.authorization +
               (close ? "Connection: close\r\n" : "") + "\r\n";
    }

    void prepareOversize() {
        const std::string host = "Host: 127.0.0.1\r\n" + options_.authorization;
        if (options_.oversizeUri > 0) {
            std::string path = "/";
            path.append(options_.oversizeUri, 'a');
            oversize_.push_back({"uri", "GET " + path + " HTTP/1.1\r\n" + host + "\r\n"});
        }
        if (options_.oversizeHeaders > 0) {
            std::string head = "GET /hi HTTP/1.1\r\n" + host;
            for (std::uint64_t i = 0; i < options_.oversizeHeaders; ++i) {
                head += "X-Filler-" + std::to_string(i) + ": abcdefghijklmnopqrstuvwxyz\r\n";
            }
            oversize_.push_back({"headers", head + "\r\n"});
        }
        if (options_.oversizeBody > 0) {
            oversize_.push_back({"body",
                                 "POST " + options_.oversizePath + " HTTP/1.1\r\n" + host +
                                     "Content-Type: application/octet-stream\r\nContent-Length: " +
                                     std::to_string(options_.oversizeBody) + "\r\n\r\n",
                                 options_.oversizeBody});
        }
    }

    sockaddr_in sourceFor(Kind kind) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (kind == Kind::Probe && options_.probeSource) {
            source.sin_addr = *options_.probeSource;
            return source;
        }
        const std::uint32_t base = ntohl(options_.sourceBase.s_addr);
        source.sin_addr.s_addr =
            htonl(base + static_cast<std::uint32_t>(sourceTurn_++ % options_.sources));
        return source;
    }

    Connection* startConnection(Kind kind, std::size_t path) {
        if (connections_.size() >= kMaxConnections) {
            return nullptr;
        }
        auto connection = std::make_unique<Connection>();
        connection->kind = kind;
        connection->path = path;
        connection->openedUs = nowUs();
        connection->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (connection->fd < 0) {
            std::perror("socket");
            return nullptr;
        }
        const int on = 1;
        ::setsockopt(connection->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        if (options_.sources > 0 || (kind == Kind::Probe && options_.probeSource)) {
            const sockaddr_in source = sourceFor(kind);
            if (::bind(connection->fd, reinterpret_cast<const sockaddr*>(&source),
                       sizeof(source)) != 0) {
                std::perror("bind");
            }
        }
        const int result =
            ::connect(connection->fd, reinterpret_cast<const sockaddr*>(&options_.target),
                      sizeof(options_.target));
        if (result != 0 && errno != EINPROGRESS) {
            ::close(connection->fd);
            connection->fd = -1;
            countConnectFailure(*connection);
            return nullptr;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
        event.data.ptr = connection.get();
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, connection->fd, &event);
        if (kind == Kind::Slow || kind == Kind::Idle) {
            ++holdersOf(kind).opened;
        }
        connections_.push_back(std::move(connection));
        return connections_.back().get();
    }

    void countConnectFailure(const Connection& connection) {
        if (connection.kind == Kind::Slow || connection.kind == Kind::Idle) {
            ++holdersOf(connection.kind).connectFailed;
            scheduleReopen(connection.kind);
        }
    }

    void scheduleReopen(Kind kind) {
        reopen_.push({nowUs() + static_cast<std::int64_t>(options_.reopenMs) * 1000,
                      kind == Kind::Slow ? 0 : 1});
    }

    void onConnected(Connection& connection) {
        connection.connected = true;
        switch (connection.kind) {
        case Kind::Slow:
            connection.out = "GET /hi HTTP/1.1\r\nHost: 127.0.0.1\r\n";
            break;
        case Kind::Oversize:
            connection.out = oversize_[connection.path].head;
            break;
        default:
            break;
        }
        flush(connection);
    }

    void flush(Connection& connection) {
        while (connection.fd >= 0) {
            if (connection.out.empty() && connection.kind == Kind::Oversize) {
                refillBody(connection);
            }
            if (connection.out.empty()) {
                break;
            }
            const ssize_t n =
                ::send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno != EAGAIN && errno != EINTR) {
                    closedByServer(connection);
                }
                break;
            }
            if (connection.kind == Kind::Oversize) {
                oversize_[connection.path].sentBytes += static_cast<std::uint64_t>(n);
            }
            connection.out.erase(0, static_cast<size_t>(n));
        }
    }

    void refillBody(Connection& connection) {
        Oversize& request = oversize_[connection.path];
        const std::uint64_t bodySent =
            request.sentBytes > request.head.size() ? request.sentBytes - request.head.size() : 0;
        if (bodySent < request.bodyBytes) {
            connection.out.assign(static_cast<std::size_t>(std::min<std::uint64_t>(
                                      kFillerBytes, request.bodyBytes - bodySent)),
                                  'x');
        }
    }

    void handleEvent(Connection& connection, std::uint32_t events) {
        if (connection.fd < 0) {
            return;
        }
        if (!connection.connected) {
            int error = 0;
            socklen_t length = sizeof(error);
            ::getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0 || (events & (EPOLLERR | EPOLLHUP)) != 0) {
                ++refused_;
                failRequest(connection);
                closeConnection(connection);
                countConnectFailure(connection);
                return;
            }
            if ((events & EPOLLOUT) == 0) {
                return;
            }
            onConnected(connection);
        }
        if ((events & EPOLLOUT) != 0) {
            flush(connection);
        }
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
            readAnswer(connection);
        }
        if (connection.fd >= 0) {
            watch(connection, !connection.out.empty());
        }
    }

    void watch(Connection& connection, bool wantWrite) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | (wantWrite ? EPOLLOUT : 0u);
        event.data.ptr = &connection;
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
    }

    void readAnswer(Connection& connection) {
        char buffer[65536];
        for (int reads = 0; reads < 64 && connection.fd >= 0; ++reads) {
            const ssize_t n = ::recv(connection.fd, buffer, sizeof(buffer), 0);
            if (n > 0) {
                if (connection.in.size() < kMaxAnswerBytes) {
                    connection.in.append(buffer, static_cast<size_t>(n));
                }
                checkAnswer(connection);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                closedByServer(connection);
            }
            break;
        }
    }

    static int statusOf(const std::string& answer) {
        if (answer.size() < 12 || answer.compare(0, 7, "HTTP/1.") != 0) {
            return -1;
        }
        return std::atoi(answer.c_str() + 9);
    }

    // The length of the whole answer once it is all there, else 0.
    static std::size_t completeLength(const std::string& answer) {
        const std::size_t end = answer.find("\r\n\r\n");
        if (end == std::string::npos) {
            return 0;
        }
        std::string head = answer.substr(0, end);
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::size_t field = head.find("\r\ncontent-length:");
        const std::size_t body =
            field == std::string::npos ? 0 : std::strtoull(head.c_str() + field + 17, nullptr, 10);
        return answer.size() >= end + 4 + body ? end + 4 + body : 0;
    }

    void checkAnswer(Connection& connection) {
        if (connection.kind == Kind::Slow || connection.kind == Kind::Idle) {
            return;
        }
        if (connection.kind == Kind::Oversize) {
            Oversize& request = oversize_[connection.path];
            if (request.status < 0 && statusOf(connection.in) > 0) {
                request.status = statusOf(connection.in);
                request.doneUs = nowUs() - startUs_;
            }
            return;
        }
        const std::size_t length = completeLength(connection.in);
        if (length == 0 || connection.requestUs == 0) {
            return;
        }
        finishRequest(connection, statusOf(connection.in));
        connection.in.erase(0, length);
        if (connection.kind == Kind::Probe) {
            closeConnection(connection);
        } else if (!connection.queuedUs.empty()) {
            // Timed from when it fell due, so that waiting behind a slow answer counts.
            const std::int64_t dueUs = connection.queuedUs.front();
            connection.queuedUs.pop_front();
            sendScrape(connection, dueUs);
        }
    }

    Timings& timingsOf(const Connection& connection) {
        return connection.kind == Kind::Probe ? probeTimes_[connection.path]
                                              : scrapeTimes_[connection.path];
    }

    std::int64_t timeoutUsOf(Kind kind) const {
        return static_cast<std::int64_t>(kind == Kind::Probe ? options_.probeTimeoutMs
                                                             : options_.scrapeTimeoutMs) *
               1000;
    }

    void finishRequest(Connection& connection, int status) {
        Timings& timings = timingsOf(connection);
        const std::int64_t took = nowUs() - connection.requestUs;
        timings.us.push_back(took);
        if (status < 200 || status > 299) {
            ++timings.failed;
        } else if (took > timeoutUsOf(connection.kind)) {
            ++timings.late;
        } else {
            ++timings.ok;
        }
        connection.requestUs = 0;
    }

    // A request that can no longer be answered: the connection closed, or the time is up.
    void failRequest(Connection& connection) {
        if ((connection.kind != Kind::Probe && connection.kind != Kind::Scrape) ||
            connection.requestUs == 0) {
            return;
        }
        Timings& timings = timingsOf(connection);
        const std::int64_t took = nowUs() - connection.requestUs;
        if (took > timeoutUsOf(connection.kind)) {
            ++timings.late;
            timings.us.push_back(took);
        } else {
            ++timings.failed;
        }
        timings.failed += connection.queuedUs.size();
        connection.queuedUs.clear();
        connection.requestUs = 0;
    }

    void closedByServer(Connection& connection) {
        if (connection.kind == Kind::Slow || connection.kind == Kind::Idle) {
            Holders& holders = holdersOf(connection.kind);
            ++holders.closedByServer;
            holders.answered += connection.in.empty() ? 0 : 1;
            holders.maxLifeUs = std::max(holders.maxLifeUs, nowUs() - connection.openedUs);
            scheduleReopen(connection.kind);
        } else if (connection.kind == Kind::Oversize) {
            Oversize& request = oversize_[connection.path];
            if (request.doneUs < 0) {
                request.doneUs = nowUs() - startUs_;
            }
        } else if (connection.kind == Kind::Scrape && connection.requestUs == 0) {
            // A kept-alive connection the server ended between requests: open another.
            ++scrapeReconnects_;
        }
        failRequest(connection);
        closeConnection(connection);
    }

    void closeConnection(Connection& connection) {
        if (connection.fd >= 0) {
            ::close(connection.fd);
            connection.fd = -1;
        }
        if (connection.kind == Kind::Scrape && scrapeConnections_[connection.path] == &connection) {
            scrapeConnections_[connection.path] = nullptr;
        }
    }

    void reapClosed() {
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return c->fd < 0; }),
                           connections_.end());
    }

    void sendScrape(Connection& connection, std::int64_t dueUs) {
        connection.requestUs = dueUs;
        connection.out += requestFor(options_.scrapes[connection.path], false);
        if (connection.connected) {
            flush(connection);
        }
    }

    void startDueRequests(std::int64_t now) {
        if (!options_.probes.empty() && now >= nextProbeUs_) {
            nextProbeUs_ += static_cast<std::int64_t>(options_.probeIntervalMs) * 1000;
            for (std::size_t i = 0; i < options_.probes.size(); ++i) {
                ++probeTimes_[i].sent;
                Connection* probe = startConnection(Kind::Probe, i);
                if (probe == nullptr) {
                    ++probeTimes_[i].failed;
                    continue;
                }
                probe->requestUs = now;
                probe->out = requestFor(options_.probes[i], true);
            }
        }
        if (!options_.scrapes.empty() && options_.scrapeRate > 0 && now >= nextScrapeUs_) {
            nextScrapeUs_ += static_cast<std::int64_t>(1e6 / options_.scrapeRate);
            const std::size_t path = scrapeTurn_++ % options_.scrapes.size();
            ++scrapeTimes_[path].sent;
            Connection* connection = scrapeConnections_[path];
            if (connection == nullptr) {
                connection = startConnection(Kind::Scrape, path);
                scrapeConnections_[path] = connection;
            }
            if (connection == nullptr) {
                ++scrapeTimes_[path].failed;
            } else if (connection->requestUs != 0) {
                connection->queuedUs.push_back(now);
            } else {
                sendScrape(*connection, now);
            }
        }
    }

    void serviceTimers(std::int64_t now) {
        while (!reopen_.empty() && reopen_.front().first <= now && now < endUs_) {
            startConnection(reopen_.front().second == 0 ? Kind::Slow : Kind::Idle, 0);
            reopen_.pop();
        }
        if (now < nextSweepUs_) {
            return;
        }
        nextSweepUs_ = now + 10'000;
        const auto interval = static_cast<std::int64_t>(options_.slowIntervalMs) * 1000;
        for (auto& connection : connections_) {
            if (connection->fd < 0) {
                continue;
            }
            if (connection->kind == Kind::Slow && connection->connected &&
                now - connection->openedUs >=
                    static_cast<std::int64_t>(connection->lines + 1) * interval) {
                connection->out += "X-Slow-" + std::to_string(connection->lines++) + ": x\r\n";
                ++holders_[0].lines;
                flush(*connection);
            } else if (connection->kind == Kind::Probe && connection->requestUs != 0 &&
                       now - connection->requestUs > 10 * timeoutUsOf(Kind::Probe)) {
                failRequest(*connection); // long past late: give up on it
                closeConnection(*connection);
            }
        }
    }

    Options options_;
    int epoll_ = -1;
    std::int64_t startUs_ = 0;
    std::int64_t endUs_ = 0;
    std::int64_t nextProbeUs_ = 0;
    std::int64_t nextScrapeUs_ = 0;
    std::int64_t nextSweepUs_ = 0;
    std::uint64_t sourceTurn_ = 0;
    std::uint64_t scrapeTurn_ = 0;
    std::uint64_t scrapeReconnects_ = 0;
    std::uint64_t refused_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<Connection*> scrapeConnections_;
    std::queue<std::pair<std::int64_t, int>> reopen_; // when, 0 slow / 1 idle
    Holders holders_[2];
    std::vector<Timings> probeTimes_;
    std::vector<Timings> scrapeTimes_;
    std::vector<Oversize> oversize_;
};

void printUsage() {
    std::fprintf(
        stderr,
        "usage: vandra-httpflood --target IP:PORT [--seconds S] [--sources N --source-base IP]\n"
        "         [--slow N [--slow-interval-ms MS]] [--idle N] [--reopen-ms MS]\n"
        "         [--probe PATH]... [--probe-interval-ms MS] [--probe-timeout-ms MS]\n"
        "         [--probe-source IP]\n"
        "         [--scrape PATH]... [--scrape-rate PER_S] [--scrape-timeout-ms MS]\n"
        "         [--oversize-uri BYTES] [--oversize-headers LINES] [--oversize-body BYTES]\n"
        "         [--oversize-path PATH] [--basic-auth BASE64]\n");
}

bool parsePath(const char* value, std::vector<std::string>& paths) {
    if (value[0] != '/') {
        return false;
    }
    paths.emplace_back(value);
    return true;
}

bool parseValue(std::string_view name, const char* value, Options& o) {
    const std::pair<std::string_view, std::uint64_t*> counts[] = {
        {"--sources", &o.sources},
        {"--slow", &o.slow},
        {"--slow-interval-ms", &o.slowIntervalMs},
        {"--idle", &o.idle},
        {"--reopen-ms", &o.reopenMs},
        {"--probe-interval-ms", &o.probeIntervalMs},
        {"--probe-timeout-ms", &o.probeTimeoutMs},
        {"--scrape-timeout-ms", &o.scrapeTimeoutMs},
        {"--oversize-uri", &o.oversizeUri},
        {"--oversize-headers", &o.oversizeHeaders},
        {"--oversize-body", &o.oversizeBody},
    };
    for (const auto& [flag, target] : counts) {
        if (name == flag) {
            return cli::parseU64(value, *target);
        }
    }
    if (name == "--target") {
        return cli::parseAddress(value, o.target);
    }
    if (name == "--source-base") {
        return inet_pton(AF_INET, value, &o.sourceBase) == 1;
    }
    if (name == "--probe-source") {
        in_addr address{};
        o.probeSource = address;
        return inet_pton(AF_INET, value, &*o.probeSource) == 1;
    }
    if (name == "--seconds") {
        return cli::parseDouble(value, o.seconds) && o.seconds > 0 && o.seconds <= 3600;
    }
    if (name == "--scrape-rate") {
        return cli::parseDouble(value, o.scrapeRate) && o.scrapeRate <= 10'000;
    }
    if (name == "--probe") {
        return parsePath(value, o.probes);
    }
    if (name == "--scrape") {
        return parsePath(value, o.scrapes);
    }
    if (name == "--oversize-path") {
        std::vector<std::string> one;
        return parsePath(value, one) && !(o.oversizePath = one[0]).empty();
    }
    if (name == "--basic-auth") {
        o.authorization = std::string("Authorization: Basic ") + value + "\r\n";
        return true;
    }
    return false;
}

bool parseOptions(int argc, char** argv, Options& options) {
    inet_pton(AF_INET, "127.0.0.1", &options.sourceBase);
    if (!cli::parseArgs(argc, argv, {}, [&](std::string_view name, const char* value) {
            return parseValue(name, value, options);
        })) {
        return false;
    }
    if (options.target.sin_port == 0 || options.slow + options.idle > kMaxConnections / 2) {
        std::fprintf(stderr, "need --target, and at most %zu slow and idle connections\n",
                     kMaxConnections / 2);
        return false;
    }
    return true;
}

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
    HttpFlood flood(std::move(options));
    return tool::openRunAndReport(flood);
}
