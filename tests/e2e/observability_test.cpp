#include <chrono>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "harness.h"

// What the server tells about itself at /metrics and /api/v1/status, read as a monitoring
// system and a script would: promtool, a real Prometheus server, a JSON parser.
namespace vandra::e2e {
namespace {

using Json = nlohmann::json;

constexpr const char* kPassphrase = "correct-horse-42";

std::optional<httplib::Result> httpGet(int port, const std::string& path,
                                       const httplib::Params& params = {}) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    httplib::Result result = client.Get(path.c_str(), params, httplib::Headers{});
    if (!result || result->status != 200) {
        return std::nullopt;
    }
    return result;
}

std::string metricsOf(int webPort) {
    const auto reply = httpGet(webPort, "/metrics");
    return reply ? (*reply)->body : "";
}

// The status document, or a null value when there is no valid one.
Json statusOf(int webPort) {
    const auto reply = httpGet(webPort, "/api/v1/status");
    return reply ? Json::parse((*reply)->body, nullptr, false) : Json();
}

Json waitForStatus(int webPort, const std::function<bool(const Json&)>& done,
                   std::chrono::milliseconds timeout) {
    Json status;
    waitUntil(
        [&] {
            status = statusOf(webPort);
            return status.is_object() && done(status);
        },
        timeout);
    return status;
}

// The value of one series, e.g. `vandra_callers` or `name{a="b"}`; empty when it is missing.
std::optional<double> sampleOf(const std::string& metrics, const std::string& series) {
    const std::string lead = series + " ";
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(lead, 0) == 0) {
            return std::stod(line.substr(lead.size()));
        }
    }
    return std::nullopt;
}

ToolRun promtoolCheck(const std::string& metrics, const std::filesystem::path& dir) {
    static int counter = 0;
    const std::filesystem::path file = dir / ("metrics_" + std::to_string(counter++) + ".txt");
    std::ofstream(file, std::ios::binary) << metrics;
    return finish(
        *Process::start({"/bin/sh", "-c", "exec promtool check metrics < " + file.string()}, dir,
                        file.string() + ".promtool"),
        20s);
}

std::string callerSeries(const char* name, const Json& caller) {
    return std::string(name) + "{id=\"" + std::to_string(caller["id"].get<std::int64_t>()) +
           "\",remote=\"" + caller["remote"].get<std::string>() + "\"}";
}

// Guards: documents that promtool refuses, callers missing or listed after they left, figures
// not taken from each caller's own socket, end reasons and refusals not counted, a stall not
// shown.
TEST(Observability, MetricsAndStatusFollowCallersRefusalsAndAStall) {
    ServerFixture server({std::string("passphrase=") + kPassphrase, "input_timeout=700"});
    const int web = server.webPort;
    auto publisher = server.startPublisher({"--bitrate", "2000000", "--seconds", "9"});
    auto callers = server.startCallers(2, 5, {"--passphrase", kPassphrase});

    const Json connected = waitForStatus(
        web,
        [](const Json& s) {
            const Json& list = s["callers"];
            return list.size() == 2 && list[0]["sent_bytes"].get<std::uint64_t>() > 0 &&
                   list[1]["sent_bytes"].get<std::uint64_t>() > 0;
        },
        10s);
    ASSERT_EQ(connected["callers"].size(), 2u) << connected.dump() << server.log();
    const std::string live = metricsOf(web);
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

    const ToolRun refused = server.runCallers(1, 1, 30s, {"--passphrase", "not-the-passphrase"});
    EXPECT_EQ(refused.number("connected"), 0u) << refused.json;
    EXPECT_EQ(finish(*callers, 20s).status, 0);

    const Json gone = waitForStatus(
        web, [](const Json& s) { return s["callers"].empty() && s["departed"].size() == 2; }, 10s);
    ASSERT_EQ(gone["departed"].size(), 2u) << gone.dump();
    for (const Json& caller : gone["departed"]) {
        EXPECT_EQ(caller["reason"], "closed") << caller.dump();
        EXPECT_GT(caller["sent_bytes"].get<std::uint64_t>(), 0u) << caller.dump();
        EXPECT_GE(caller["ended_ms"].get<std::int64_t>(), caller["created"].get<std::int64_t>());
    }
    const std::string after = metricsOf(web);
    EXPECT_FALSE(contains(after, "{id=")) << after;
    EXPECT_EQ(sampleOf(after, "vandra_callers"), 0.0);
    EXPECT_EQ(sampleOf(after, "vandra_callers_accepted_total"), 2.0);
    EXPECT_EQ(sampleOf(after, "vandra_callers_disconnected_total{reason=\"closed\"}"), 2.0);
    EXPECT_GE(sampleOf(after, "vandra_callers_rejected_total{reason=\"passphrase\"}").value_or(0),
              1.0)
        << after;

    EXPECT_EQ(finish(*publisher, 20s).status, 0);
    const Json stalled = waitForStatus(
        web, [](const Json& s) { return s["input"]["stalled"] == true; }, 5s);
    ASSERT_EQ(stalled["input"]["stalled"], true) << stalled.dump();
    EXPECT_EQ(stalled["input"]["stalls_total"], 1);
    EXPECT_GE(stalled["input"]["stalled_since_ms"].get<std::int64_t>(),
              stalled["input"]["last_datagram_ms"].get<std::int64_t>());
    const std::string quiet = metricsOf(web);
    EXPECT_EQ(sampleOf(quiet, "vandra_input_stalled"), 1.0) << quiet;
    EXPECT_EQ(sampleOf(quiet, "vandra_input_stalls_total"), 1.0) << quiet;
    EXPECT_EQ(promtoolCheck(quiet, server.dir()).status, 0);
    server.expectCleanStop();
}

// A Prometheus server on loopback with its own storage, scraping every second.
struct PrometheusServer {
    int port = freeTcpPort();
    std::unique_ptr<Process> process;

    PrometheusServer(const std::filesystem::path& dir, int targetPort) {
        const std::filesystem::path config = dir / "prometheus.yml";
        std::ofstream(config) << "global:\n"
                                 "  scrape_interval: 1s\n"
                                 "  scrape_timeout: 1s\n"
                                 "scrape_configs:\n"
                                 "  - job_name: vandra\n"
                                 "    static_configs:\n"
                                 "      - targets: ['127.0.0.1:"
                              << targetPort << "']\n";
        process = Process::start({"/usr/bin/prometheus", "--config.file=" + config.string(),
                                  "--storage.tsdb.path=" + (dir / "tsdb").string(),
                                  "--web.listen-address=127.0.0.1:" + std::to_string(port),
                                  "--log.level=warn"},
                                 dir, dir / "prometheus.log");
    }

    // The value of an instant query with one result; empty while there is none.
    std::optional<double> query(const std::string& expression) const {
        const auto reply = httpGet(port, "/api/v1/query", {{"query", expression}});
        if (!reply) {
            return std::nullopt;
        }
        const Json answer = Json::parse((*reply)->body, nullptr, false);
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

// Guards: a document a real Prometheus cannot scrape, or counters whose rate is not the
// input's.
TEST(Observability, PrometheusScrapesCallersAndTheInputRate) {
    constexpr int kBitrate = 4'000'000;
    constexpr int kCallers = 3;
    ServerFixture server;
    auto publisher =
        server.startPublisher({"--bitrate", std::to_string(kBitrate), "--seconds", "40"});
    auto callers = server.startCallers(kCallers, 40);
    const PrometheusServer prometheus(server.dir(), server.webPort);

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
    // start, and the rate comes out some 15 % low: wait until it is older.
    EXPECT_TRUE(waitUntil(
        [&] {
            return prometheus.query("count_over_time(vandra_input_bytes_total[13s])").value_or(0) >=
                   12;
        },
        25s, 500ms))
        << prometheus.process->output();
    const std::optional<double> rate = prometheus.query("rate(vandra_input_bytes_total[10s])");
    ASSERT_TRUE(rate) << prometheus.process->output();
    EXPECT_NEAR(*rate, kBitrate / 8.0, 0.1 * kBitrate / 8.0);
    EXPECT_EQ(prometheus.query("up{job=\"vandra\"}"), 1.0);

    EXPECT_GT(prometheus.process->pid(), 0);
    prometheus.process->stop();
    callers->stop();
    publisher->stop();
    server.expectCleanStop();
}

// Guards: checks that count errors in a clean stream, count one jump more than once, miss a
// lost sync byte, or log each error instead of one line per period.
TEST(Observability, ContinuityAndSyncErrorsAreCountedExactlyAndLoggedOnce) {
    struct Case {
        const char* name;
        std::vector<std::string> fault;
        int continuity;
        int sync;
        const char* line; // after "-- input stream in the last 10 s: "
    };
    // A packet without its sync byte is not read further, so its PID also misses a counter.
    const std::vector<Case> cases{
        {"clean", {}, 0, 0, nullptr},
        {"one jump", {"--skip-seq", "1000"}, 1, 0, "1 continuity error on PID 256"},
        {"one bad sync byte",
         {"--bad-sync-seq", "2000"},
         1,
         1,
         "1 continuity error on PID 256; 1 sync error"},
    };
    std::vector<std::unique_ptr<ServerFixture>> servers;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        servers.push_back(std::make_unique<ServerFixture>());
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::vector<std::string> options{"--bitrate", "4000000", "--count", "500"};
        options.insert(options.end(), cases[i].fault.begin(), cases[i].fault.end());
        const ToolRun sent = servers[i]->publish(options);
        EXPECT_EQ(sent.number("packets"), 3500u) << cases[i].name << sent.output;
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        ServerFixture& fixture = *servers[i];
        const Json status = waitForStatus(
            fixture.webPort, [](const Json& s) { return s["input"]["bytes_total"] == 500 * 1316; },
            5s);
        const Json& input = status["input"];
        EXPECT_EQ(input["bytes_total"], 500 * 1316) << c.name << status.dump();
        EXPECT_EQ(input["ts_continuity_errors"], c.continuity) << c.name << status.dump();
        EXPECT_EQ(input["ts_sync_errors"], c.sync) << c.name << status.dump();
        if (c.line != nullptr) {
            EXPECT_TRUE(fixture.waitForLog(
                std::string("-- input stream in the last 10 s: ") + c.line + "  inputhealth", 15s))
                << c.name << fixture.log();
        }
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(servers[i]->countInLog("-- input stream"), cases[i].line != nullptr ? 1 : 0)
            << cases[i].name << servers[i]->log();
        servers[i]->expectCleanStop();
    }
}

} // namespace
} // namespace vandra::e2e
