#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "webclient.h"

// What the server tells about itself at /metrics and /api/v1/status, read as a monitoring
// system and a script would: promtool, a real Prometheus server, a JSON parser.
namespace vandra::e2e {
namespace {

constexpr const char* kPassphrase = "correct-horse-42";

ToolRun promtoolCheck(const std::string& metrics, const std::filesystem::path& dir) {
    static int counter = 0;
    const std::filesystem::path file = dir / ("metrics_" + std::to_string(counter++) + ".txt");
    std::ofstream(file, std::ios::binary) << metrics;
    return finish(
        *Process::start({"/bin/sh", "-c", "exec promtool check metrics < " + file.string()}, dir,
                        file.string() + ".promtool"),
        20s);
}

// Guards: documents that promtool refuses, callers missing or listed after they left, figures
// not taken from each caller's own socket, end reasons not counted, a stall not shown, a
// recording made without dump.
TEST(Observability, MetricsAndStatusFollowCallersRefusalsAndAStall) {
    ServerFixture server({std::string("passphrase=") + kPassphrase, "input_timeout=700"});
    const int web = server.webPort;
    auto publisher = server.startPublisher({"--bitrate", "2000000"});
    // The callers stay until they are told to go (SIGTERM), once everything is checked.
    auto callers = server.startCallers(2, 60, {"--passphrase", kPassphrase});

    const Json connected = waitForStatus(
        web,
        [](const Json& s) {
            const Json& list = s["callers"];
            return list.size() == 2 && list[0]["sent_bytes"].get<std::uint64_t>() > 0 &&
                   list[1]["sent_bytes"].get<std::uint64_t>() > 0;
        },
        10s);
    ASSERT_EQ(connected["callers"].size(), 2u) << connected.dump() << server.log();
    const std::string live = webBody(web, "/metrics");
    const ToolRun checked = promtoolCheck(live, server.dir());
    EXPECT_EQ(checked.status, 0) << checked.output << live;
    EXPECT_EQ(sampleOf(live, "vandra_callers"), 2.0) << live;
    for (const Json& caller : connected["callers"]) {
        EXPECT_GT(
            sampleOf(live, callerSeries("vandra_caller_sent_bytes_total", caller)).value_or(0), 0)
            << caller.dump() << live;
        EXPECT_GT(sampleOf(live, callerSeries("vandra_caller_rtt_seconds", caller)).value_or(-1), 0)
            << live;
        EXPECT_TRUE(contains(server.log(), "accept new client " +
                                               std::to_string(caller["id"].get<std::int64_t>()) +
                                               " " + caller["remote"].get<std::string>()))
            << caller.dump();
    }
    const Json& input = connected["input"];
    EXPECT_EQ(input["format"], "ts");
    EXPECT_GT(input["bytes_total"].get<std::uint64_t>(), 0u);
    EXPECT_EQ(input["stalled"], false);
    EXPECT_EQ(input["ts_continuity_errors"], 0);

    // Encryption leaves what a rightful caller gets intact. (Refusals: DataPathSrtSettings.)
    callers->sendSignal(SIGTERM);
    expectLossless(finish(*callers, 20s), 2, "callers with the passphrase");

    const Json gone = waitForStatus(
        web, [](const Json& s) { return s["callers"].empty() && s["departed"].size() == 2; }, 10s);
    ASSERT_EQ(gone["departed"].size(), 2u) << gone.dump();
    for (const Json& caller : gone["departed"]) {
        EXPECT_EQ(caller["reason"], "closed") << caller.dump();
        EXPECT_GT(caller["sent_bytes"].get<std::uint64_t>(), 0u) << caller.dump();
        EXPECT_GE(caller["ended_ms"].get<std::int64_t>(), caller["created"].get<std::int64_t>());
    }
    const std::string after = webBody(web, "/metrics");
    EXPECT_FALSE(contains(after, "{id=")) << after;
    EXPECT_EQ(sampleOf(after, "vandra_callers"), 0.0);
    EXPECT_EQ(sampleOf(after, "vandra_callers_accepted_total"), 2.0);
    EXPECT_EQ(sampleOf(after, "vandra_callers_disconnected_total{reason=\"closed\"}"), 2.0);

    // The publisher stops here, so the input stalls after the callers have gone.
    publisher->stop();
    const Json stalled = waitForStatus(
        web, [](const Json& s) { return s["input"]["stalled"] == true; }, 5s);
    ASSERT_EQ(stalled["input"]["stalled"], true) << stalled.dump();
    EXPECT_EQ(stalled["input"]["stalls_total"], 1);
    EXPECT_GE(stalled["input"]["stalled_since_ms"].get<std::int64_t>(),
              stalled["input"]["last_datagram_ms"].get<std::int64_t>());
    const std::string quiet = webBody(web, "/metrics");
    EXPECT_EQ(sampleOf(quiet, "vandra_input_stalled"), 1.0) << quiet;
    EXPECT_EQ(sampleOf(quiet, "vandra_input_stalls_total"), 1.0) << quiet;
    EXPECT_EQ(promtoolCheck(quiet, server.dir()).status, 0);
    server.expectCleanStop();
    EXPECT_TRUE(recordingIn(server.dir()).empty()) << "recorded without dump=1";
}

// A Prometheus server on loopback with its own storage, scraping every second with HTTP Basic
// authentication.
struct PrometheusServer {
    int port = freeTcpPort();
    std::unique_ptr<Process> process;

    PrometheusServer(const std::filesystem::path& dir, int targetPort, const std::string& name,
                     const std::string& password) {
        const std::filesystem::path config = dir / "prometheus.yml";
        std::ofstream(config) << "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
                                 "scrape_configs:\n- job_name: vandra\n  basic_auth: {username: "
                              << name << ", password: " << password
                              << "}\n  static_configs: [{targets: ['127.0.0.1:" << targetPort
                              << "']}]\n";
        process = Process::start({"/usr/bin/prometheus", "--config.file=" + config.string(),
                                  "--storage.tsdb.path=" + (dir / "tsdb").string(),
                                  "--web.listen-address=127.0.0.1:" + std::to_string(port),
                                  "--log.level=warn"},
                                 dir, dir / "prometheus.log");
    }

    // The value of an instant query with one result; empty while there is none.
    std::optional<double> query(const std::string& expression) const {
        const Json answer =
            Json::parse(webBody(port, "/api/v1/query", {{"query", expression}}), nullptr, false);
        if (!answer.is_object() || answer.value("status", "") != "success") {
            return std::nullopt;
        }
        const Json& result = answer["data"]["result"];
        if (!result.is_array() || result.size() != 1) {
            return std::nullopt;
        }
        return std::stod(result[0]["value"][1].get<std::string>());
    }
};

// Guards: a document a real Prometheus cannot scrape (with the web port's authentication on),
// or counters whose rate is not the input's.
TEST(Observability, PrometheusScrapesCallersAndTheInputRate) {
    constexpr int kBitrate = 4'000'000;
    constexpr int kCallers = 3;
    const ScratchDir secrets("vandra_webauth_");
    const std::filesystem::path webUsers = secrets.path() / "webusers";
    std::ofstream(webUsers) << "scraper:scrape-Q7-password\n";
    ServerFixture server({"webauth=" + webUsers.string()});
    auto publisher =
        server.startPublisher({"--bitrate", std::to_string(kBitrate), "--seconds", "60"});
    auto callers = server.startCallers(kCallers, 60);
    const PrometheusServer prometheus(server.dir(), server.webPort, "scraper",
                                      "scrape-Q7-password");

    std::optional<double> callersSeen;
    EXPECT_TRUE(waitUntil(
        [&] {
            callersSeen = prometheus.query("vandra_callers");
            return callersSeen == kCallers;
        },
        25s, 500ms))
        << "vandra_callers: " << callersSeen.value_or(-1) << "\n"
        << prometheus.process->output();
    // A series younger than the window is extrapolated only half a scrape towards the window's
    // start, and the rate comes out low: wait until it is older.
    EXPECT_TRUE(waitUntil(
        [&] {
            return prometheus.query("count_over_time(vandra_input_bytes_total[7s])").value_or(0) >=
                   6;
        },
        25s, 500ms))
        << prometheus.process->output();
    const std::optional<double> rate = prometheus.query("rate(vandra_input_bytes_total[5s])");
    ASSERT_TRUE(rate) << prometheus.process->output();
    // Scrapes late by a loaded machine move the rate by a scrape's share of the window at most;
    // a counter that counts twice, or another figure, is off by far more than a quarter.
    EXPECT_NEAR(*rate, kBitrate / 8.0, 0.25 * kBitrate / 8.0);
    EXPECT_EQ(prometheus.query("up{job=\"vandra\"}"), 1.0);

    prometheus.process->stop();
    callers->stop();
    publisher->stop();
    server.expectCleanStop();
}

} // namespace
} // namespace vandra::e2e
