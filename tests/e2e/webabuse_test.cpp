#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

// The web port under abuse: slow, idle, oversized and scraping clients from vandra-httpflood,
// from one loopback address or twenty (127.0.0.10 to .29; all of 127/8 is this host). Throughout,
// fresh probes of /hi and /metrics every 500 ms must each be answered within a second: what an
// operator's liveness check and scraper need. Scrapes get two seconds; their times are figures.
namespace vandra::e2e {
namespace {

// The web side never holds more connections than this (its library's hard limit).
constexpr int kMaxWebConnections = 576;
constexpr const char* kAcceptLine = "accept new client ";

// The text of `key`'s object in a tool's JSON line, empty when absent.
std::string objectIn(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\":{");
    if (at == std::string::npos) {
        return "";
    }
    const size_t open = json.find('{', at);
    return json.substr(open, json.find('}', open) - open + 1);
}

// A field of `key`'s object, as text ("null" when the tool had none).
std::string fieldIn(const ToolRun& run, const std::string& key, const std::string& field) {
    ToolRun inner;
    inner.json = objectIn(run.json, key);
    return inner.raw(field);
}

std::uint64_t countIn(const ToolRun& run, const std::string& key, const std::string& field) {
    ToolRun inner;
    inner.json = objectIn(run.json, key);
    return inner.number(field).value_or(0);
}

std::vector<std::string> floodArgs(int webPort, int seconds, std::vector<std::string> extra) {
    std::vector<std::string> args{"--target",
                                  "127.0.0.1:" + std::to_string(webPort),
                                  "--seconds",
                                  std::to_string(seconds),
                                  "--probe",
                                  "/hi",
                                  "--probe",
                                  "/metrics",
                                  "--probe-interval-ms",
                                  "500"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// The same connections, spread over 127.0.0.10 to 127.0.0.29.
std::vector<std::string> fromTwentyAddresses(std::vector<std::string> args) {
    args.insert(args.end(), {"--sources", "20", "--source-base", "127.0.0.10"});
    return args;
}

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

std::string timesOf(const ToolRun& run, const std::string& key) {
    return key + " " + std::to_string(countIn(run, key, "ok")) + "/" +
           std::to_string(countIn(run, key, "sent")) + " ok, p50 " + fieldIn(run, key, "p50_ms") +
           " p99 " + fieldIn(run, key, "p99_ms") + " max " + fieldIn(run, key, "max_ms") + " ms";
}

// The server's largest footprint, sampled every 500 ms while `running` holds (at most `limit`).
Footprint peakWhile(pid_t pid, const std::function<bool()>& running,
                    std::chrono::milliseconds limit) {
    Footprint peak = footprint(pid);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (running() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(500ms);
        peak.raiseTo(footprint(pid));
    }
    return peak;
}

Footprint settledFootprint(pid_t pid, const Footprint& before) {
    Footprint after;
    waitUntil(
        [&] {
            after = footprint(pid);
            return after.fds <= before.fds && after.threads <= before.threads;
        },
        15s);
    return after;
}

// Guards: a slow client holding a worker (or anything else the answers wait for) while it
// dribbles its request header, from one address or from many.
TEST(ReliabilityWebAbuse, SlowHeadersFromOneAndFromTwentyAddressesLeaveHiAndMetricsAnswering) {
    ServerFixture server;
    const pid_t pid = server.process->pid();
    const Footprint before = footprint(pid);
    const std::vector<std::string> slow{"--slow", "200", "--slow-interval-ms", "2000"};
    auto one = startTool("vandra-httpflood", floodArgs(server.webPort, 30, slow), server.dir());
    auto twenty = startTool("vandra-httpflood",
                            floodArgs(server.webPort, 30, fromTwentyAddresses(slow)), server.dir());
    const Footprint peak = peakWhile(
        pid, [&] { return one->running(); }, 40s);
    const ToolRun oneRun = finish(*one, 20s);
    const ToolRun twentyRun = finish(*twenty, 20s);

    for (const ToolRun* run : {&oneRun, &twentyRun}) {
        const std::string who = run == &oneRun ? "one address" : "twenty addresses";
        EXPECT_EQ(run->status, 0) << who << ": " << run->output;
        expectProbesAnswered(*run, who);
        // The attack was real: every connection opened and dribbling. From one address the
        // server keeps 128 and closes the others' oldest, so they send fewer lines (about 1100
        // against 3000 from twenty addresses).
        EXPECT_GE(countIn(*run, "slow", "opened"), 200u) << who << ": " << run->json;
        EXPECT_GE(countIn(*run, "slow", "lines"), 500u) << who << ": " << run->json;
    }
    EXPECT_LE(peak.fds, before.fds + kMaxWebConnections + 16);
    EXPECT_LE(peak.threads, before.threads) << "a thread per connection?";
    const Footprint after = settledFootprint(pid, before);
    EXPECT_LE(after.fds, before.fds);
    EXPECT_TRUE(server.process->running());

    figure("slow headers, one address: " + timesOf(oneRun, "probe_hi") + "; " +
           timesOf(oneRun, "probe_metrics") + "; slow " + objectIn(oneRun.json, "slow"));
    figure("slow headers, twenty addresses: " + timesOf(twentyRun, "probe_hi") + "; " +
           timesOf(twentyRun, "probe_metrics") + "; slow " + objectIn(twentyRun.json, "slow"));
    figure("slow headers: server before " + describe(before) + "; peak " + describe(peak) +
           "; after " + describe(after));
}

// Guards: a descriptor or thread per idle connection without bound, an idle crowd keeping
// newcomers out, and connections or threads left behind when the crowd goes.
TEST(ReliabilityWebAbuse, TwoThousandIdleConnectionsStayBoundedAndGoAway) {
    ServerFixture server;
    const pid_t pid = server.process->pid();
    const Footprint before = footprint(pid);
    auto idle = startTool("vandra-httpflood",
                          floodArgs(server.webPort, 20, fromTwentyAddresses({"--idle", "2000"})),
                          server.dir());
    const Footprint peak = peakWhile(
        pid, [&] { return idle->running(); }, 30s);
    const ToolRun run = finish(*idle, 20s);
    const Footprint after = settledFootprint(pid, before);

    EXPECT_EQ(run.status, 0) << run.output;
    expectProbesAnswered(run, "idle crowd");
    EXPECT_GE(countIn(run, "idle", "opened"), 2000u) << run.json;
    EXPECT_GT(peak.fds, before.fds + 400) << "the crowd never got in";
    EXPECT_LE(peak.fds, before.fds + kMaxWebConnections + 16);
    EXPECT_LE(peak.threads, before.threads);
    EXPECT_LE(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_TRUE(server.process->running());

    figure("idle: " + timesOf(run, "probe_hi") + "; " + timesOf(run, "probe_metrics") + "; idle " +
           objectIn(run.json, "idle"));
    figure("idle: server before " + describe(before) + "; peak " + describe(peak) + "; after " +
           describe(after));
}

// Guards: a request read whole however large (memory), or one that takes the server down.
TEST(ReliabilityWebAbuse, OversizedRequestsAreRefusedWithoutMemoryGrowth) {
    ServerFixture server;
    const pid_t pid = server.process->pid();
    std::this_thread::sleep_for(500ms);
    const Footprint before = footprint(pid);
    const ToolRun run =
        runTool("vandra-httpflood",
                floodArgs(server.webPort, 8,
                          {"--oversize-uri", "1048576", "--oversize-headers", "10000",
                           "--oversize-body", "104857600", "--oversize-path", "/stats"}),
                server.dir(), 30s);
    std::this_thread::sleep_for(1s);
    const Footprint after = footprint(pid);

    EXPECT_EQ(run.status, 0) << run.output;
    expectProbesAnswered(run, "oversize");
    for (const char* request : {"oversize_uri", "oversize_headers", "oversize_body"}) {
        const std::string status = fieldIn(run, request, "status");
        // An answer must refuse; no answer at all means the server closed the connection.
        EXPECT_TRUE(status == "null" || (status.size() == 3 && status[0] == '4'))
            << request << ": " << run.json;
        EXPECT_NE(fieldIn(run, request, "done_ms"), "null") << request << " never ended";
    }
    EXPECT_LE(after.rssKb, before.rssKb + 2048) << describe(before) << " -> " << describe(after);
    EXPECT_TRUE(server.process->running());
    figure("oversize: uri " + objectIn(run.json, "oversize_uri") + "; headers " +
           objectIn(run.json, "oversize_headers") + "; body " +
           objectIn(run.json, "oversize_body") + "; server before " + describe(before) +
           ", after " + describe(after));
}

// Guards: scrapes that wait on the data path (or it on them) with a crowd of callers.
TEST(ReliabilityWebAbuse, ScraperWithTwoHundredCallersIsAnsweredAndCostsTheCallersNothing) {
    ServerFixture server({"latency=500"});
    auto publisher = server.startPublisher({"--bitrate", "500000"});
    constexpr int kCallers = 200;
    auto callers = server.startCallers(kCallers, 30);
    ASSERT_TRUE(server.waitForLog(kAcceptLine, 20s, kCallers)) << server.log();
    std::this_thread::sleep_for(3500ms); // past a sample, so the documents list every caller
    const ToolRun scrape =
        runTool("vandra-httpflood",
                floodArgs(server.webPort, 15,
                          {"--scrape", "/metrics", "--scrape", "/api/v1/status", "--scrape-rate",
                           "50", "--scrape-timeout-ms", "2000"}),
                server.dir(), 30s);
    const ToolRun callerRun = finish(*callers, 40s);

    EXPECT_EQ(scrape.status, 0) << scrape.output;
    expectProbesAnswered(scrape, "scraper");
    expectAlwaysAnswered(scrape, "scrape_metrics", "scraper");
    expectAlwaysAnswered(scrape, "scrape_api_v1_status", "scraper");
    EXPECT_GE(countIn(scrape, "scrape_metrics", "ok"), 300u) << scrape.json;
    expectLossless(callerRun, kCallers, "callers while scraped");
    EXPECT_TRUE(server.process->running());
    figure("scrape, 200 callers: " + timesOf(scrape, "scrape_metrics") + "; " +
           timesOf(scrape, "scrape_api_v1_status") + "; reconnects " +
           scrape.raw("scrape_reconnects"));
    figure("scrape: callers " + callerRun.json);
}

// Guards: any of the above reaching the data path when they come together.
TEST(ReliabilityWebAbuse, EverythingAtOnceWhileTwentyCallersGetEveryByte) {
    ServerFixture server({"latency=500"});
    const pid_t pid = server.process->pid();
    auto publisher = server.startPublisher({"--bitrate", "8000000"});
    constexpr int kCallers = 20;
    auto callers = server.startCallers(kCallers, 35);
    ASSERT_TRUE(server.waitForLog(kAcceptLine, 10s, kCallers));
    const Footprint before = footprint(pid);
    auto crowd =
        startTool("vandra-httpflood",
                  floodArgs(server.webPort, 30,
                            fromTwentyAddresses(
                                {"--slow", "200", "--idle", "2000", "--oversize-uri", "1048576",
                                 "--oversize-headers", "10000", "--oversize-body", "104857600",
                                 "--scrape", "/metrics", "--scrape", "/api/v1/status",
                                 "--scrape-rate", "50", "--scrape-timeout-ms", "2000"})),
                  server.dir());
    auto oneAddress = startTool("vandra-httpflood",
                                floodArgs(server.webPort, 30, {"--slow", "200"}), server.dir());
    const Footprint peak = peakWhile(
        pid, [&] { return crowd->running(); }, 40s);
    const ToolRun crowdRun = finish(*crowd, 20s);
    const ToolRun oneRun = finish(*oneAddress, 20s);
    const ToolRun callerRun = finish(*callers, 30s);

    expectLossless(callerRun, kCallers, "callers under every abuse at once");
    for (const ToolRun* run : {&crowdRun, &oneRun}) {
        EXPECT_EQ(run->status, 0) << run->output;
        expectProbesAnswered(*run, run == &crowdRun ? "crowd" : "one address");
    }
    expectAlwaysAnswered(crowdRun, "scrape_metrics", "crowd");
    expectAlwaysAnswered(crowdRun, "scrape_api_v1_status", "crowd");
    EXPECT_LE(peak.fds, before.fds + kMaxWebConnections + 16);
    EXPECT_TRUE(server.process->running());
    figure("all at once: callers " + callerRun.json);
    figure("all at once: " + timesOf(crowdRun, "probe_hi") + "; " +
           timesOf(crowdRun, "probe_metrics") + "; " + timesOf(oneRun, "probe_hi") +
           " (one address); " + timesOf(crowdRun, "scrape_metrics") + "; " +
           timesOf(crowdRun, "scrape_api_v1_status"));
    figure("all at once: server before " + describe(before) + "; peak " + describe(peak));
}

} // namespace
} // namespace vandra::e2e
