#include <chrono>
#include <csignal>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "rawhttp.h"
#include "webclient.h"

// The web port under abuse: slow, idle, oversized and scraping clients from vandra-httpflood,
// from one loopback address or twenty (127.0.0.10 to .29; all of 127/8 is this host), a load
// generator, and requests aimed outside the WEB folder. Throughout a flood, fresh probes of /hi
// and /metrics every 500 ms from a visitor outside the crowd (127.0.0.2) must all be answered. The
// tools' reports are the figures.
namespace vandra::e2e {
namespace {

// The web side never holds more connections than this (its library's hard limit).
constexpr int kMaxWebConnections = 576;
constexpr const char* kAcceptLine = "accept new client ";

// The tool's report of `key` (a probe, a scrape or an attack); null when absent.
Json reportOf(const ToolRun& run, const std::string& key) {
    const Json report = Json::parse(run.json, nullptr, false);
    return report.is_object() && report.contains(key) ? report[key] : Json();
}

std::uint64_t countIn(const ToolRun& run, const std::string& key, const std::string& field) {
    const Json report = reportOf(run, key);
    return report.is_object() ? report.value(field, std::uint64_t{0}) : 0;
}

// Waits until /stats lists `callers` callers, each with a sample (the sampler runs every 3 s).
bool waitForListedCallers(int webPort, std::size_t callers) {
    return waitUntil(
        [&] {
            Json stats = Json::parse(webBody(webPort, "/stats"), nullptr, false);
            return stats.is_object() && stats["stats"]["right"].size() >= callers;
        },
        10s, 200ms);
}

// The words of an option list written as on a command line.
std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// Probes and scrapes count as answered within 5 s: on a loaded two-core machine the web thread
// can wait seconds behind the callers' threads. One that stops answering fails: floods last longer.
constexpr const char* kAnswerLimit = " --probe-timeout-ms 5000 --scrape-timeout-ms 5000 ";

std::vector<std::string> floodArgs(int webPort, int seconds, const std::string& extra) {
    return words("--target 127.0.0.1:" + std::to_string(webPort) + " --seconds " +
                 std::to_string(seconds) + kAnswerLimit +
                 " --probe /hi --probe /metrics --probe-interval-ms 500 --probe-source 127.0.0.2 " +
                 extra);
}

// The same connections, spread over 127.0.0.10 to 127.0.0.29.
constexpr const char* kFromTwentyAddresses = " --sources 20 --source-base 127.0.0.10";

// Every request of `key` (a probe or a scrape) answered 2xx within the tool's limit; the tool
// waits for the answers still owed when its time is up.
void expectAlwaysAnswered(const ToolRun& run, const std::string& key, const std::string& who) {
    const std::uint64_t sent = countIn(run, key, "sent");
    EXPECT_GT(sent, 0u) << who << " " << key << ": " << run.output;
    EXPECT_EQ(countIn(run, key, "ok"), sent) << who << " " << key << ": " << run.json;
}

void expectProbesAnswered(const ToolRun& run, const std::string& who) {
    expectAlwaysAnswered(run, "probe_hi", who);
    expectAlwaysAnswered(run, "probe_metrics", who);
}

// Guards: a request read whole however large (memory), or one that takes the server down; a
// request path that climbs out of the WEB folder, however it is spelt or encoded.
TEST(ReliabilityWebAbuse, OversizedRequestsAndPathsOutOfTheWebFolderAreRefused) {
    ServerFixture server;
    const std::string marker = "marker-9c41-server-ini-must-not-leak";
    server.instance.writeIni("# " + marker + "\nsource=udp://239.1.1.1:5000\nport=9000\n");
    const pid_t pid = server.process->pid();
    const Footprint before = footprint(pid);
    const ToolRun run =
        runTool("vandra-httpflood",
                floodArgs(server.webPort, 4,
                          "--oversize-uri 1048576 --oversize-headers 10000 --oversize-body "
                          "104857600 --oversize-path /stats"),
                server.dir(), 30s);
    // Memory given back ends the wait early; what is kept fails below.
    Footprint after;
    waitUntil(
        [&] {
            after = footprint(pid);
            return after.rssKb <= before.rssKb + 2048;
        },
        3s);

    EXPECT_EQ(run.status, 0) << run.output;
    expectProbesAnswered(run, "oversize");
    for (const char* request : {"oversize_uri", "oversize_headers", "oversize_body"}) {
        Json report = reportOf(run, request);
        // An answer must refuse; no answer at all means the server closed the connection.
        EXPECT_TRUE(report["status"].is_null() || report["status"].get<int>() / 100 == 4)
            << request << ": " << run.json;
        EXPECT_FALSE(report["done_ms"].is_null()) << request << " never ended";
    }
    EXPECT_LE(after.rssKb, before.rssKb + 2048) << describe(before) << " -> " << describe(after);
    figure("oversize: " + run.json);

    ASSERT_EQ(httpStatus(rawHttpGet(server.webPort, "/index.html")), 200);
    for (const char* target :
         {"/../server.ini", "/%2e%2e/server.ini", "/..%2fserver.ini", "/%2e%2e%2fserver.ini",
          "/WEB/../server.ini", "/./../server.ini", "/vendor/../../server.ini", "/....//server.ini",
          "/..\\server.ini", "/%252e%252e/server.ini", "/stats/../server.ini",
          "/index.html/../../server.ini", "//server.ini", "/server.ini", "//etc/passwd",
          "/../../../../../../etc/passwd", "/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
          "/..%2f..%2f..%2f..%2fetc%2fpasswd"}) {
        const std::string response = rawHttpGet(server.webPort, target);
        EXPECT_FALSE(contains(response, marker)) << target << "\n" << response;
        EXPECT_FALSE(contains(response, "root:x:0:0")) << target << "\n" << response;
        EXPECT_NE(httpStatus(response), 200) << target << "\n" << response.substr(0, 300);
    }
    EXPECT_TRUE(server.process->running());
}

// Guards: scrapes that wait on the data path (or it on them) with a crowd of callers.
TEST(ReliabilityWebAbuse, ScraperWithTwoHundredCallersIsAnsweredAndCostsTheCallersNothing) {
    ServerFixture server({"latency=500"});
    auto publisher = server.startPublisher({"--bitrate", "500000"});
    constexpr int kCallers = 200;
    // Stopped after the scrapes; the time is only an upper bound.
    auto callers = server.startCallers(kCallers, 60);
    ASSERT_TRUE(server.waitForLog(kAcceptLine, 20s, kCallers)) << server.log();
    // The documents are scraped at full size, every caller in them.
    ASSERT_TRUE(waitForListedCallers(server.webPort, kCallers));
    const ToolRun scrape =
        runTool("vandra-httpflood",
                floodArgs(server.webPort, 6,
                          "--scrape /metrics --scrape /api/v1/status --scrape-rate 50 "
                          "--scrape-timeout-ms 2000"),
                server.dir(), 30s);
    ASSERT_TRUE(callers->running()) << callers->output();
    callers->sendSignal(SIGTERM);
    const ToolRun callerRun = finish(*callers, 20s);

    EXPECT_EQ(scrape.status, 0) << scrape.output;
    expectProbesAnswered(scrape, "scraper");
    expectAlwaysAnswered(scrape, "scrape_metrics", "scraper");
    expectAlwaysAnswered(scrape, "scrape_api_v1_status", "scraper");
    // 50 a second over 6 s, shared by the two documents.
    EXPECT_GE(countIn(scrape, "scrape_metrics", "ok"), 100u) << scrape.json;
    expectLossless(callerRun, kCallers, "callers while scraped");
    EXPECT_TRUE(server.process->running());
    figure("scrape, 200 callers: " + scrape.json);
}

// Guards: slow or idle clients (from one address or many) holding a worker, a thread or a
// descriptor without bound, an idle crowd keeping newcomers out, connections or threads left
// behind when the crowd goes, and any of the abuses reaching the data path or the documents
// and files when they come together.
TEST(ReliabilityWebAbuse, EverythingAtOnceWhileTwentyCallersGetEveryByte) {
    ServerFixture server({"latency=500"});
    const pid_t pid = server.process->pid();
    auto publisher = server.startPublisher({"--bitrate", "8000000"});
    constexpr int kCallers = 20;
    // Stopped after the crowd; the time is only an upper bound.
    auto callers = server.startCallers(kCallers, 60);
    ASSERT_TRUE(server.waitForLog(kAcceptLine, 10s, kCallers));
    ASSERT_TRUE(waitForListedCallers(server.webPort, kCallers));
    const Footprint before = footprint(pid);
    auto crowd = startTool(
        "vandra-httpflood",
        floodArgs(server.webPort, 10,
                  std::string("--slow 200 --idle 2000 --oversize-uri 1048576 --oversize-headers "
                              "10000 --oversize-body 104857600 --scrape /metrics --scrape "
                              "/api/v1/status --scrape /stats --scrape /index.html --scrape-rate "
                              "50 --scrape-timeout-ms 2000") +
                      kFromTwentyAddresses),
        server.dir());
    auto oneAddress =
        startTool("vandra-httpflood", floodArgs(server.webPort, 10, "--slow 200"), server.dir());
    Footprint peak = before; // the largest while the crowd is in, sampled every 500 ms
    waitUntil(
        [&] {
            peak.raiseTo(footprint(pid));
            return !crowd->running();
        },
        30s, 500ms);
    const ToolRun crowdRun = finish(*crowd, 20s);
    const ToolRun oneRun = finish(*oneAddress, 20s);
    const Footprint afterCrowd = settledFootprint(pid, before, 15s);
    ASSERT_TRUE(callers->running()) << callers->output();
    callers->sendSignal(SIGTERM);
    expectLossless(finish(*callers, 20s), kCallers, "callers under every abuse at once");

    for (const ToolRun* run : {&crowdRun, &oneRun}) {
        const std::string who = run == &crowdRun ? "crowd" : "one address";
        EXPECT_EQ(run->status, 0) << run->output;
        expectProbesAnswered(*run, who);
        // The attack was real: every slow connection opened.
        EXPECT_GE(countIn(*run, "slow", "opened"), 200u) << who << ": " << run->json;
    }
    for (const char* scrape :
         {"scrape_metrics", "scrape_api_v1_status", "scrape_stats", "scrape_index_html"}) {
        expectAlwaysAnswered(crowdRun, scrape, "crowd");
    }
    EXPECT_GE(countIn(crowdRun, "idle", "opened"), 2000u) << crowdRun.json;
    EXPECT_GT(peak.fds, before.fds + 400) << "the crowd never got in";
    EXPECT_LE(peak.fds, before.fds + kMaxWebConnections + 16);
    EXPECT_LE(peak.threads, before.threads) << "a thread per connection?";
    // Nothing the crowd opened outlives it.
    EXPECT_LE(afterCrowd.fds, before.fds);
    EXPECT_EQ(afterCrowd.threads, before.threads);
    EXPECT_TRUE(server.process->running());
    figure("all at once: " + crowdRun.json + "; server before " + describe(before) + "; peak " +
           describe(peak));
}

} // namespace
} // namespace vandra::e2e
