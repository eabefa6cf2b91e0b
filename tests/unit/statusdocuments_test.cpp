#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "app/mainapp.h"
#include "core/clock.h"
#include "core/utils.h"
#include "freeport.h"
#include "logcapture.h"
#include "web/webserver.h"

namespace vandra {
namespace {

// Polls `condition` until it holds, for ten seconds at most.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class StatusDocuments : public ::testing::Test {
protected:
    void configure(const std::string& group, const std::string& iface) {
        app_.getLeftServer()->setParams(group, "1234", iface, false);
    }
    std::unique_ptr<WebServer> web(int port, std::int32_t srtPort = 9000) {
        return std::make_unique<WebServer>(port, *app_.getLeftServer(), *app_.getRightServer(),
                                           srtPort);
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

    LogCapture log_;
    MainApp app_;
};

// The form with an interface is checked on a running server in WebStatus.
TEST_F(StatusDocuments, SettingsShowTheSourceEscapedWithAndWithoutInterface) {
    const int port = test::freePort(SOCK_STREAM);
    configure("239.1.1.1", "");
    EXPECT_EQ(web(port, -5)->settingsText(), "\"source\":\"udp://@239.1.1.1:1234\",\"port\":\"-5\","
                                             "\"webport\":\"" +
                                                 std::to_string(port) + "\",\"ver\":\"0.5\"");
    configure("239.1.1.1\"}", "a\\b");
    const std::string text = web(port)->settingsText();
    EXPECT_NE(text.find("udp://@239.1.1.1\\\"}:1234 (a\\\\b)"), std::string::npos) << text;
}

TEST_F(StatusDocuments, CallersAppearInAcceptOrderOnceSampled) {
    configure("239.1.1.1", "");
    auto server = web(test::freePort(SOCK_STREAM));
    EXPECT_EQ(server->composeStatus(), "{\"settings\":{" + server->settingsText() +
                                           "},\"stats\":{\"left\":{\"data\":[]},\"right\":[]}}");
    LeftServer& left = *app_.getLeftServer();
    left.sampleInput("t0", 1000);
    const std::vector<std::uint8_t> megabyte(1048576);
    left.handleDatagram(megabyte.data(), 0, 0); // an empty datagram changes nothing
    for (std::size_t at = 0; at < megabyte.size(); at += kChunkSize) {
        const int length =
            static_cast<int>(std::min<std::size_t>(kChunkSize, megabyte.size() - at));
        left.handleDatagram(megabyte.data() + at, length, length);
    }
    EXPECT_EQ(left.bytesReceived(), 1048576);
    StatsSampler sampler(left, *app_.getRightServer());
    // The wall clock steps back an hour before the next pass: the rate must not notice, and
    // the shown time is the wall clock's.
    const std::int64_t wall = 1'796'600'000'000;
    sampler.samplePass(4000, wall - 3'600'000);
    addCaller("10.0.0.2:4000", {100, 200});
    addCaller("10.0.0.1:5000", {}); // accepted but not sampled yet: not listed
    addCaller("10.0.0.3:6000", {-1});

    const std::string shown = localTimeText(wall - 3'600'000, kSampleTimeFormat);
    EXPECT_EQ(server->composeStatus(),
              "{\"settings\":{" + server->settingsText() +
                  "},\"stats\":{\"left\":{\"data\":[{\"x\":\"" + shown +
                  "\",\"y\":2730},{\"x\":\"t0\",\"y\":0}]},"
                  "\"right\":[{\"url\":\"10.0.0.2:4000\",\"created\":\"0\",\"data\":[{\"x\":"
                  "\"2026-12-06 10:00:01\",\"y\":200},{\"x\":\"2026-12-06 10:00:00\",\"y\":100}]},"
                  "{\"url\":\"10.0.0.3:6000\",\"created\":\"0\",\"data\":[{\"x\":\"2026-12-06 "
                  "10:00:00\",\"y\":4294967295}]}]}}");

    // Never started, so inactive: removed (and destroyed) at the next pass, order kept.
    sampler.samplePass(7000, wall);
    EXPECT_EQ(app_.getRightServer()->clientCount(), 0u);
    EXPECT_EQ(log_.count("REMOVE  rightserver"), 3);
    EXPECT_EQ(log_.count("del client (try del thread)"), 3);
}

class WebRoutes : public StatusDocuments {
protected:
    void SetUp() override { configure("239.1.1.1", ""); }
};

// Guards: the routes missing or answering other methods, wrong content types, documents that
// do not come from the running server's own figures.
TEST_F(WebRoutes, MetricsAndStatusAnswerGetOnly) {
    LeftServer& left = *app_.getLeftServer();
    const std::vector<std::uint8_t> noSync(kChunkSize); // seven packets without a sync byte
    left.handleDatagram(noSync.data(), kChunkSize, kChunkSize);
    const int port = test::freePort(SOCK_STREAM);
    auto server = web(port);
    ASSERT_TRUE(eventually([&] { return server->isListening(); }));
    httplib::Client client("127.0.0.1", port);

    auto metrics = client.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    EXPECT_EQ(metrics->get_header_value("Content-Type"),
              "text/plain; version=0.0.4; charset=utf-8");
    for (const char* line : {"\nvandra_input_bytes_total 1316\n",
                             "\nvandra_input_ts_sync_errors_total 7\n", "\nvandra_callers 0\n",
                             "\nvandra_input_format{format=\"ts\"} 1\n", "\nprocess_open_fds "}) {
        EXPECT_NE(metrics->body.find(line), std::string::npos) << line << metrics->body;
    }
    auto status = client.Get("/api/v1/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 200);
    EXPECT_EQ(status->get_header_value("Content-Type"), "application/json");
    for (const char* member :
         {"\"format\":\"ts\",\"bytes_total\":1316,\"datagrams_total\":1,", "\"ts_sync_errors\":7,",
          "\"callers\":[],\"departed\":[],\"access\":{\"max_callers\":null,"}) {
        EXPECT_NE(status->body.find(member), std::string::npos) << member << status->body;
    }

    for (const char* path : {"/metrics", "/api/v1/status"}) {
        const httplib::Result answers[] = {
            client.Post(path, "x", "text/plain"), client.Put(path, "x", "text/plain"),
            client.Patch(path, "x", "text/plain"), client.Delete(path), client.Options(path)};
        for (const httplib::Result& answer : answers) {
            ASSERT_TRUE(answer) << path;
            EXPECT_EQ(answer->status, 405) << path;
            EXPECT_EQ(answer->get_header_value("Allow"), "GET, HEAD") << path;
        }
        auto head = client.Head(path);
        ASSERT_TRUE(head);
        EXPECT_EQ(head->status, 200) << path;
    }
    for (const char* path : {"/metrics/", "/api/v1/status/x", "/api/v1", "/api/v2/status"}) {
        auto missing = client.Get(path);
        ASSERT_TRUE(missing);
        EXPECT_EQ(missing->status, 404) << path;
    }
}

// Guards against two servers sharing one web port (the library's default SO_REUSEPORT): the
// second must fail to listen, say so once, and leave the first one answering alone.
TEST_F(WebRoutes, SecondServerOnTheSameWebPortCannotListen) {
    const int port = test::freePort(SOCK_STREAM);
    auto first = web(port);
    ASSERT_TRUE(eventually([&] { return first->isListening(); }));
    {
        auto second = web(port);
        EXPECT_TRUE(eventually([&] { return log_.count("web server cannot listen") > 0; }));
        EXPECT_FALSE(second->isListening());
    }
    EXPECT_EQ(1,
              log_.count("ERROR: web server cannot listen on port " + std::to_string(port) + ": "))
        << log_.text();
    httplib::Client client("127.0.0.1", port);
    auto hi = client.Get("/hi");
    ASSERT_TRUE(hi);
    EXPECT_EQ(hi->status, 200);
}

} // namespace
} // namespace vandra
