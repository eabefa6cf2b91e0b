#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "app/mainapp.h"
#include "logcapture.h"
#include "web/addressratelimiter.h"
#include "web/connectionbook.h"
#include "web/httpdaemon.h"
#include "web/staticfolder.h"
#include "web/tcplistener.h"
#include "web/webserver.h"

namespace vandra {
namespace {

// ---- Which connection makes room ------------------------------------------------------------

constexpr std::uint32_t kA = 0x7f000001;
constexpr std::uint32_t kB = 0x7f000002;

// Connection ids need only be distinct addresses.
const void* id(int n) {
    static char ids[64];
    return &ids[n];
}

TEST(ConnectionBook, TheAddressAtItsLimitGivesUpItsOldestIdleConnection) {
    ConnectionBook book({10, 3});
    book.opened(id(1), kB, 101, 100); // oldest overall, but from another address
    book.opened(id(2), kA, 102, 200);
    book.opened(id(3), kA, 103, 300);
    EXPECT_FALSE(book.makeRoomFor(kA));
    book.opened(id(4), kA, 104, 400);

    book.requestStarted(id(2)); // being answered: never chosen
    EXPECT_EQ(book.makeRoomFor(kA), 103);
    // 103 is leaving but still counted until it has closed: the next newcomer takes 104.
    EXPECT_EQ(book.makeRoomFor(kA), 104);
    EXPECT_FALSE(book.makeRoomFor(kA)) << "only a busy one is left";
    EXPECT_FALSE(book.makeRoomFor(kB));

    book.closed(id(3));
    book.closed(id(4));
    EXPECT_EQ(book.countFrom(kA), 1u);
    EXPECT_FALSE(book.makeRoomFor(kA));
}

// Guards a keep-alive client (a scraper between requests) being closed for a flood of
// connections that never finish a request, however fast the flood turns over.
TEST(ConnectionBook, AFullPortGivesUpNeverAnsweredConnectionsFirstThenTheIdleLongest) {
    ConnectionBook book({3, 3});
    book.opened(id(1), kA, 101, 100);
    book.opened(id(2), kB, 102, 200);
    book.opened(id(3), kB, 103, 300);
    book.requestStarted(id(1));
    book.requestEnded(id(1), 400);
    EXPECT_EQ(book.makeRoomFor(0x7f000003), 102);
    book.closed(id(2));
    book.closed(id(2)); // a second notice changes nothing
    EXPECT_EQ(book.size(), 2u);
    EXPECT_EQ(book.countFrom(kB), 1u);
    EXPECT_FALSE(book.makeRoomFor(0x7f000003));

    book.opened(id(4), kB, 104, 500);
    EXPECT_EQ(book.makeRoomFor(0x7f000003), 103) << "101 finished a request, 103 did not";
    EXPECT_EQ(book.makeRoomFor(0x7f000003), 104);
    EXPECT_EQ(book.makeRoomFor(0x7f000003), 101) << "only then the answered one";
}

// Guards a visitor's fresh connection being closed, before its request arrives, for a crowd
// that turns over from many addresses.
TEST(ConnectionBook, AFullPortTakesFromTheAddressHoldingTheMost) {
    ConnectionBook book({4, 4});
    book.opened(id(1), kA, 101, 100); // the visitor, idle longest
    book.opened(id(2), kB, 102, 200);
    book.opened(id(3), kB, 103, 300);
    book.opened(id(4), 0x7f000003, 104, 150);
    EXPECT_EQ(book.makeRoomFor(0x7f000003), 102);
}

// ---- The WEB folder -------------------------------------------------------------------------

class StaticFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root_ / "web" / "vendor");
        std::ofstream(root_ / "web" / "index.html") << "index";
        std::ofstream(root_ / "web" / "vendor" / "index.html") << "vendor index";
        std::ofstream(root_ / "web" / "vendor" / "lib.min.js") << "js";
        std::ofstream(root_ / "secret.ini") << "secret";
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    const std::filesystem::path root_ =
        std::filesystem::temp_directory_path() / ("vandra_static_" + std::to_string(::getpid()));
    const StaticFolder folder_{(root_ / "web").string()};
};

TEST_F(StaticFolderTest, ServesFilesAndIndexPagesOnly) {
    const std::string web = (root_ / "web").string();
    EXPECT_EQ(folder_.fileFor("/"), web + "/index.html");
    EXPECT_EQ(folder_.fileFor("/vendor/"), web + "/vendor/index.html");
    EXPECT_EQ(folder_.fileFor("/vendor/lib.min.js"), web + "/vendor/lib.min.js");
    EXPECT_EQ(folder_.fileFor("/./vendor//lib.min.js"), web + "/./vendor//lib.min.js");
    for (const char* none : {"/vendor", "/missing.html", "", "index.html", "/index.html/"}) {
        EXPECT_FALSE(folder_.fileFor(none)) << none;
    }
}

TEST(StaticFolder, ContentTypeFollowsTheExtension) {
    for (const auto& [file, type] :
         std::vector<std::pair<const char*, const char*>>{{"/w/index.html", "text/html"},
                                                          {"/w/app.js", "text/javascript"},
                                                          {"/w/style.css", "text/css"},
                                                          {"/w/logo.svg", "image/svg+xml"},
                                                          {"/w/font.woff2", "font/woff2"},
                                                          {"/w/data.unknown", "text/plain"},
                                                          {"/w.d/README", "text/plain"},
                                                          {"/w/page.HTML", "text/plain"}}) {
        EXPECT_STREQ(StaticFolder::contentTypeOf(file), type) << file;
    }
}

// ---- The daemon on real sockets -------------------------------------------------------------

class Peer {
public:
    // Connected to 127.0.0.1:`port`.
    explicit Peer(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<std::uint16_t>(port));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval timeout{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof(server)) == 0;
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& bytes) const {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // One answer (its header only, for HEAD), or what arrived before the peer closed or 2 s
    // passed.
    std::string receive(bool headOnly = false) const {
        std::string got;
        char buffer[4096];
        while (!isWholeAnswer(got, headOnly)) {
            const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    static bool isWholeAnswer(const std::string& got, bool headOnly) {
        const std::size_t end = got.find("\r\n\r\n");
        if (end == std::string::npos) {
            return false;
        }
        const std::size_t field = got.find("Content-Length: ");
        const std::size_t length =
            headOnly || field > end ? 0 : std::stoul(got.substr(field + 16, 20));
        return got.size() >= end + 4 + length;
    }

    int fd_;
    bool connected_ = false;
};

class HttpDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        TcpListener listener = TcpListener::open("127.0.0.1", 0, error);
        ASSERT_TRUE(listener.valid()) << error;
        sockaddr_in bound{};
        socklen_t length = sizeof(bound);
        ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(bound.sin_port);
        ASSERT_TRUE(daemon_.start(std::move(listener)));
    }

    HttpReply answer(const HttpRequest& request) {
        ++requests_;
        lastRequest_ = request;
        return HttpReply::text(200, "body of " + request.path, "text/plain");
    }

    LogCapture log_;
    std::atomic<int> requests_{0};
    HttpRequest lastRequest_; // read after the answer has arrived
    HttpDaemon daemon_{[this](const HttpRequest& request) { return answer(request); }};
    int port_ = 0;
};

TEST_F(HttpDaemonTest, KeepsTheConnectionAnswersHeadWithoutABodyAndNeverReadsABody) {
    Peer peer(port_);
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.send("GET /a%20b?x=1 HTTP/1.1\r\nHost: h\r\nX-Token: abc\r\n\r\n"));
    const std::string first = peer.receive();
    EXPECT_EQ(first.rfind("HTTP/1.1 200", 0), 0u) << first;
    EXPECT_NE(first.find("\r\nContent-Type: text/plain\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("body of /a b"), std::string::npos) << first;
    EXPECT_EQ(lastRequest_.method, "GET");
    EXPECT_EQ(lastRequest_.header("x-token"), "abc");
    EXPECT_EQ(lastRequest_.peer, "127.0.0.1");

    ASSERT_TRUE(peer.send("HEAD /b HTTP/1.1\r\nHost: h\r\n\r\n")); // same connection
    const std::string head = peer.receive(true);
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Length: 10\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("body of"), std::string::npos) << head;
    EXPECT_EQ(requests_.load(), 2);

    // A body no route wants is never read: the answer goes out and the connection is closed.
    Peer poster(port_);
    ASSERT_TRUE(poster.send("POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 100000000\r\n\r\n"));
    ASSERT_TRUE(poster.send(std::string(4096, 'x')));
    const std::string answer = poster.receive();
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
}

// While it lives no descriptor can be opened: the limit is lowered to just above those open
// and every free number below it taken.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, openDescriptors() + 16);
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (rlim_t i = 0; i < low.rlim_cur; ++i) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                break;
            }
            fillers_.push_back(fd);
        }
    }
    ~NoDescriptorsLeft() {
        for (const int fd : fillers_) {
            ::close(fd);
        }
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }
    NoDescriptorsLeft(const NoDescriptorsLeft&) = delete;
    NoDescriptorsLeft& operator=(const NoDescriptorsLeft&) = delete;

    static std::size_t openDescriptors() {
        std::size_t count = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator("/proc/self/fd")) {
            ++count;
        }
        return count;
    }
    static bool exhausted() {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return false;
        }
        return errno == EMFILE;
    }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

// Guards the listening socket outliving a start the library refused (here it cannot make its
// own descriptors): the library leaves the socket open, so its owner must close it.
TEST(HttpDaemonStart, ARefusedStartStillClosesTheListeningSocket) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
    LogCapture log;
    const std::size_t before = NoDescriptorsLeft::openDescriptors();
    HttpDaemon daemon([](const HttpRequest&) { return HttpReply::text(200, "", ""); });
    {
        std::string error;
        TcpListener listener = TcpListener::open("127.0.0.1", 0, error);
        ASSERT_TRUE(listener.valid()) << error;
        const NoDescriptorsLeft noneLeft;
        ASSERT_TRUE(noneLeft.exhausted());
        EXPECT_FALSE(daemon.start(std::move(listener)));
    }
    EXPECT_FALSE(daemon.running());
    EXPECT_EQ(NoDescriptorsLeft::openDescriptors(), before);
    EXPECT_EQ(log.count("ERROR: the web server could not start its connection loop"), 1)
        << log.text();
}

// ---- "/hi" lines, limited per address -------------------------------------------------------

// Guards one address silencing another, a flood getting every line, the count held back being
// lost, or a calm client being limited once it calmed down.
TEST(AddressRateLimiter, AFloodGetsOneReportASecondWithTheCountHeldBack) {
    AddressRateLimiter limiter(5, 1000, 16);
    int reported = 0;
    for (int i = 0; i < 50; ++i) {
        const std::optional<std::int64_t> held = limiter.allow("10.0.0.1", 100);
        reported += held ? 1 : 0;
        EXPECT_EQ(held.value_or(0), 0);
    }
    EXPECT_EQ(reported, 5);
    EXPECT_EQ(limiter.allow("10.0.0.2", 100), 0) << "another address is not held back";
    EXPECT_EQ(limiter.allow("10.0.0.1", 900), std::nullopt);
    EXPECT_EQ(limiter.allow("10.0.0.1", 1100), 46);
    EXPECT_EQ(limiter.allow("10.0.0.1", 1200), std::nullopt) << "still limited after a flood";
    EXPECT_EQ(limiter.allow("10.0.0.1", 2100), 1);
    for (std::int64_t now = 3200; now < 3600; now += 100) { // four within the next second
        EXPECT_EQ(limiter.allow("10.0.0.1", now), 0);
    }
    EXPECT_EQ(limiter.allow("10.0.0.1", 4300), 0) << "calm again: every request reported";
}

// Guards the table of addresses growing without bound under a spread flood.
TEST(AddressRateLimiter, AFullTableLimitsNewcomersTogether) {
    AddressRateLimiter limiter(1, 1000, 2);
    EXPECT_EQ(limiter.allow("a", 0), 0);
    EXPECT_EQ(limiter.allow("b", 0), 0);
    EXPECT_EQ(limiter.allow("c", 0), 0);
    EXPECT_EQ(limiter.allow("d", 0), std::nullopt) << "shares the newcomers' entry with c";
    EXPECT_EQ(limiter.allow("e", 2500), 0) << "a and b forgotten after two quiet seconds";
}

// Guards "/hi", which needs no password, letting anyone flood the log; its answer must stay.
TEST(WebServerGreeting, FiftyRequestsGiveAFewLinesAndTheCountHeldBack) {
    LogCapture log;
    MainApp app;
    WebServer web(0, *app.getLeftServer(), *app.getRightServer(), 9000);
    HttpRequest hi;
    hi.method = "GET";
    hi.path = "/hi";
    hi.peer = "127.0.0.9";
    const std::regex summary(R"(hi from client \((\d+) more from 127\.0\.0\.9 since its )"
                             R"(previous line\)  webserver  \d+)");
    const auto start = std::chrono::steady_clock::now();
    int requests = 0;
    std::smatch held;
    std::string text;
    // 50 at once, then one every 20 ms until the count held back is logged (at most 5 s).
    for (; requests < 300 && !std::regex_search(text, held, summary); ++requests) {
        const HttpReply reply = web.answer(hi);
        ASSERT_EQ(reply.status, 200);
        ASSERT_EQ(reply.body, "hi from server");
        if (requests >= 50) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        text = log.text();
    }
    ASSERT_TRUE(std::regex_search(text, held, summary)) << text;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    const int lines = log.count("hi from client");
    EXPECT_LE(lines, 5 + seconds + 1);
    EXPECT_EQ(lines + std::stoi(held[1]), requests) << "every request logged or counted";
}

} // namespace
} // namespace vandra
