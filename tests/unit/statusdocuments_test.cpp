#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include "app/mainapp.h"
#include "app/utils.h"
#include "web/webserver.h"

namespace vandra {
namespace {

// A TCP port that was free a moment ago: bound to port 0, read back, released.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool waitUntilListening(const WebServer& web) {
    for (int i = 0; i < 200 && !web.isListening(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return web.isListening();
}

class StatusDocuments : public ::testing::Test {
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override { testing::internal::GetCapturedStdout(); }

    void configure(const SourceAddress& source, std::int32_t srtPort) {
        SrtListenParams srt;
        srt.port = srtPort;
        app_.getLeftServer()->setParams(source, srt, false);
    }
    // A caller as the accept loop registers it, with samples but without a sending thread.
    void addCaller(const std::string& url, const std::vector<int>& rates) {
        RightServer& right = *app_.getRightServer();
        auto caller = right.makeClient();
        caller->setUrl(url);
        for (size_t i = 0; i < rates.size(); ++i) {
            caller->history().add({"2026-12-06 10:00:0" + std::to_string(i), rates[i]});
        }
        right.addClient(std::move(caller));
    }

    MainApp app_;
};

TEST_F(StatusDocuments, ApplicationStateStartsEmpty) {
    EXPECT_EQ(g_mainApp, &app_);
    EXPECT_EQ(app_.getLeftServer()->group(), "");
    EXPECT_EQ(app_.getRightServer(), &app_.getLeftServer()->getRightServer());
    EXPECT_EQ(app_.getRightServer()->clientCount(), 0u);
    EXPECT_EQ(app_.getLeftServer()->inputHistory().toJson(), "[]");
}

TEST_F(StatusDocuments, SettingsWithAndWithoutInterface) {
    configure({"239.1.1.1", "1234", "192.0.2.10"}, 9000);
    const int port = freePort();
    {
        WebServer web(port);
        EXPECT_EQ(web.settingsText(), "\"source\":\"udp://@239.1.1.1:1234 (192.0.2.10)\",\"port\":"
                                      "\"9000\",\"webport\":\"" +
                                          std::to_string(port) + "\",\"ver\":\"0.5\"");
    }
    configure({"239.1.1.1", "1234", ""}, -5);
    WebServer web(port);
    EXPECT_EQ(web.settingsText(), "\"source\":\"udp://@239.1.1.1:1234\",\"port\":\"-5\","
                                  "\"webport\":\"" +
                                      std::to_string(port) + "\",\"ver\":\"0.5\"");
}

TEST_F(StatusDocuments, ConfiguredTextCannotBreakTheDocument) {
    configure({"239.1.1.1\"}", "1234", "a\\b"}, 9000);
    WebServer web(freePort());
    EXPECT_NE(web.settingsText().find("udp://@239.1.1.1\\\"}:1234 (a\\\\b)"), std::string::npos)
        << web.settingsText();
}

TEST_F(StatusDocuments, FreshServerHasEmptySeriesAndNoCallers) {
    configure({"239.1.1.1", "1234", ""}, 9000);
    WebServer web(8080);
    addCaller("127.0.0.1:5000", {}); // accepted but not sampled yet: not listed
    EXPECT_EQ(web.composeStatus(), "{\"settings\":{" + web.settingsText() +
                                       "},\"stats\":{\"left\":{\"data\":[]},\"right\":[]}}");
}

TEST_F(StatusDocuments, CallersAppearInAcceptOrderWithTheirSeries) {
    configure({"239.1.1.1", "1234", ""}, 9000);
    WebServer web(freePort());
    LeftServer& left = *app_.getLeftServer();
    left.setLastSampleMs(1000);
    left.addReceivedBytes(1048576);
    left.sampleInput("2026-12-06 10:00:03", 4000);
    addCaller("10.0.0.2:4000", {100, 200});
    addCaller("10.0.0.1:5000", {});
    addCaller("10.0.0.3:6000", {-1});

    const std::string created = std::to_string(0);
    EXPECT_EQ(web.composeStatus(),
              "{\"settings\":{" + web.settingsText() +
                  "},\"stats\":{\"left\":{\"data\":[{\"x\":\"2026-12-06 10:00:03\",\"y\":2730}]},"
                  "\"right\":[{\"url\":\"10.0.0.2:4000\",\"created\":\"0\",\"data\":[{\"x\":"
                  "\"2026-12-06 10:00:01\",\"y\":200},{\"x\":\"2026-12-06 10:00:00\",\"y\":100}]},"
                  "{\"url\":\"10.0.0.3:6000\",\"created\":\"0\",\"data\":[{\"x\":\"2026-12-06 "
                  "10:00:00\",\"y\":4294967295}]}]}}");
}

TEST_F(StatusDocuments, ReapRemovesFinishedCallersAndKeepsOrder) {
    configure({"239.1.1.1", "1234", ""}, 9000);
    addCaller("10.0.0.1:1", {1});
    RightServer& right = *app_.getRightServer();
    ASSERT_EQ(right.clientCount(), 1u);
    // Never started, so inactive: removed (and destroyed) at the next pass.
    right.sampleAndReap("2026-12-06 10:00:03", 5000);
    EXPECT_EQ(right.clientCount(), 0u);
    EXPECT_EQ(right.clientsJson(), "");
}

class WebRoutes : public StatusDocuments {
protected:
    void SetUp() override {
        StatusDocuments::SetUp();
        configure({"239.1.1.1", "1234", ""}, 9000);
    }
    const std::filesystem::path webFolder_ = std::filesystem::path(exeDirectory()) / "WEB";
};

TEST_F(WebRoutes, HiStatsAndStaticFilesAreServed) {
    std::filesystem::create_directories(webFolder_);
    std::ofstream(webFolder_ / "index.html") << "<html>dashboard</html>";
    const int port = freePort();
    WebServer web(port);
    ASSERT_TRUE(waitUntilListening(web));
    httplib::Client client("127.0.0.1", port);

    auto hi = client.Get("/hi");
    ASSERT_TRUE(hi);
    EXPECT_EQ(hi->status, 200);
    EXPECT_EQ(hi->body, "hi from server");
    EXPECT_EQ(hi->get_header_value("Content-Type"), "text/plain");

    auto stats = client.Get("/stats?since=1");
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->status, 200);
    EXPECT_EQ(stats->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(stats->body, web.composeStatus());

    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body, "<html>dashboard</html>");

    for (const char* path : {"/stats/", "/Stats", "/hi/x", "/missing.html"}) {
        auto missing = client.Get(path);
        ASSERT_TRUE(missing);
        EXPECT_EQ(missing->status, 404) << path;
    }
    auto post = client.Post("/stats", "", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 404);

    // Nothing outside the folder, however the path is spelled.
    for (const char* path :
         {"/../CMakeCache.txt", "/%2e%2e/CMakeCache.txt", "/..%2fCMakeCache.txt"}) {
        auto outside = client.Get(path);
        if (outside) {
            EXPECT_NE(outside->status, 200) << path;
        }
    }
    std::filesystem::remove_all(webFolder_);

    // Without the folder the routes still answer. (One test, as the folder is shared.)
    const int otherPort = freePort();
    WebServer bare(otherPort);
    ASSERT_TRUE(waitUntilListening(bare));
    httplib::Client bareClient("127.0.0.1", otherPort);
    auto bareStats = bareClient.Get("/stats");
    ASSERT_TRUE(bareStats);
    EXPECT_EQ(bareStats->status, 200);
    auto barePage = bareClient.Get("/");
    ASSERT_TRUE(barePage);
    EXPECT_EQ(barePage->status, 404);

    const std::string log = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_NE(log.find("hi from client  webserver  "), std::string::npos) << log;
    EXPECT_NE(log.find("web folder: " + webFolder_.string() + "  webserver  "), std::string::npos);
}

TEST_F(WebRoutes, PortInUseIsReportedOnce) {
    const int port = freePort();
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    {
        WebServer web(port);
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_FALSE(web.isListening());
    }
    ::close(blocker);
    const std::string log = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_NE(log.find("ERROR: web server cannot listen on port " + std::to_string(port)),
              std::string::npos)
        << log;
}

} // namespace
} // namespace vandra
