#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "statusprobe.h"
#include "webclient.h"

namespace vandra::e2e {
namespace {

// ---- The dashboard in a real browser --------------------------------------------------------

// A script of this folder, run by python3.
std::vector<std::string> script(const std::string& name, const std::vector<std::string>& args) {
    return joined(
        {"/usr/bin/env", "python3", std::string(VANDRA_SOURCE_DIR) + "/tests/e2e/" + name}, args);
}

// dashboard_check.py on `url`; its screenshot goes to tests/artifacts as `name`.png.
ToolRun checkDashboard(const std::string& url, const std::string& name,
                       const std::vector<std::string>& checks, const std::filesystem::path& dir) {
    const std::filesystem::path artifacts =
        std::filesystem::path(VANDRA_BINARY_DIR) / "tests" / "artifacts";
    std::filesystem::create_directories(artifacts);
    const std::filesystem::path screenshot = artifacts / (name + ".png");
    std::filesystem::remove(screenshot);
    auto check = Process::start(
        script("dashboard_check.py",
               joined({"--url=" + url, "--screenshot=" + screenshot.string(), "--timeout=40"},
                      checks)),
        dir, dir / (name + ".log"));
    return finish(*check, 150s); // its checks include the screenshot's being a PNG
}

// The page against fake_stats_server.py: situations the real server cannot be put in on
// demand (200 callers, lossy ones, departures, a stalled input) with /stats and
// api/v1/status telling the same story.
ToolRun checkDashboardOnFake(const std::string& name, const std::vector<std::string>& fakeArgs,
                             const std::vector<std::string>& checks) {
    const ScratchDir dir("vandra_dashboard_");
    const std::string port = std::to_string(freeTcpPort());
    auto fake = Process::start(
        script("fake_stats_server.py", joined({"--port", port, "--lifetime", "200"}, fakeArgs)),
        dir.path(), dir.path() / "fake.log");
    const std::string url = "http://127.0.0.1:" + port + "/";
    if (!fake->waitForOutput(url, 10s)) {
        ADD_FAILURE() << name << ": fake server did not start: " << fake->output();
        return ToolRun{};
    }
    ToolRun run = checkDashboard(url, name, checks, dir.path());
    fake->stop();
    return run;
}

class Dashboard : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/chromium")) {
            GTEST_SKIP() << "no /usr/bin/chromium";
        }
    }
};

// Guards: a page that does not render the real server's documents (input chart, rate, a caller's
// row with its health), builds its request URLs from an address carrying user:password@ (the
// browser refuses those requests), a player line that offers viewers a plain address the
// server will refuse when users are on, access settings missing from the status document
// (or a secret in it), and refusals that never reach the access panel.
TEST_F(Dashboard, BehindUsersAndWebauthOpenedWithCredentialsInTheUrl) {
    const ScratchDir secrets("vandra_dashboard_secrets_");
    const std::string aliceSecret = "alice-Zk9-secret";
    const std::string webPassword = "ops-Zk9-password";
    std::ofstream(secrets.path() / "users") << "alice:" << aliceSecret << "\n";
    std::ofstream(secrets.path() / "webusers") << "ops:" << webPassword << "\n";
    auto live = startLiveStream(2'000'000, 90,
                                {"users=" + (secrets.path() / "users").string(),
                                 "webauth=" + (secrets.path() / "webusers").string(),
                                 "maxcallers=5", "allow=10.0.0.0/8,127.0.0.0/8"});
    auto alice = live->startCallers(
        1, 90, {"--streamid", "alice", "--passphrase", aliceSecret, "--min-packets", "100"});
    live->runCallers(1, 1, 20s, {"--streamid", "carol", "--passphrase", aliceSecret});
    live->runCallers(1, 1, 20s, {"--streamid", "alice", "--passphrase", "wrong-Zk9-secret"});
    const HttpAsker ops{"127.0.0.1", "ops", webPassword};
    std::string body;
    const bool ready = waitUntil(
        [&] {
            body = httpGet(live->webPort, "/api/v1/status", {}, ops).value_or(HttpReply{}).body;
            const Json status = Json::parse(body, nullptr, false);
            return status.is_object() && status["callers"].size() == 1 &&
                   status["access"]["refused_recent"].value("user", 0) >= 2;
        },
        20s);
    ASSERT_TRUE(ready) << body << "\n" << live->log();
    Json access = Json::parse(body)["access"];
    for (const char* counts : {"refused_total", "refused_recent", "recent_window_s"}) {
        access.erase(counts);
    }
    EXPECT_EQ(access, Json::parse(R"({"max_callers":5,"callers":1,"users":true,"user_count":1,
        "networks":["10.0.0.0/8","127.0.0.0/8"],"webauth":true})"))
        << body;
    EXPECT_EQ(body.find("Zk9"), std::string::npos) << "a secret in the status document";

    const std::string url =
        "http://ops:" + webPassword + "@127.0.0.1:" + std::to_string(live->webPort) + "/";
    const ToolRun checked = checkDashboard(
        url, "dashboard-access",
        {"--expect-callers", "1", "--expect-status-api", "present", "--expect-player-hint",
         "?streamid=#!::u=USER&passphrase=PASSPHRASE'", "--expect-refused", "user=2"},
        live->dir());
    EXPECT_EQ(checked.status, 0) << checked.output;

    alice->stop();
    live->publisher->stop();
    EXPECT_EQ(live->process->stop(), kSigterm);
}

// Guards: a table that loses or duplicates rows at 200 callers, misjudges a lossy or failing
// caller, does not put the worst first, leaves a chart behind, drops the selected caller's
// chart, or ignores departures.
TEST_F(Dashboard, TwoHundredCallersWorstFirstInChromium) {
    const ToolRun run = checkDashboardOnFake(
        "dashboard-200-callers",
        {"--callers", "200", "--lossy", "2", "--failing", "1", "--departed", "12", "--format",
         "rtp", "--users"},
        {"--expect-callers", "200", "--expect-failing", "1", "--expect-degraded", "2",
         "--expect-departed", "12", "--expect-format", "rtp", "--expect-status-api", "present",
         "--select", "198.51.100.7:50123", "--expect-detail", "present"});
    EXPECT_EQ(run.status, 0) << run.output;
}

// Guards: a "Live" badge or a receiving banner while the input is stalled, with or without
// api/v1/status (the older server shows it by a zero bitrate sample), and the selected caller's
// chart or detail left behind when that caller hangs up, or its departure not listed. (An input
// that never came: classifyInput under node, shown through the same banner.)
TEST_F(Dashboard, StalledInputAndALeavingCallerInChromium) {
    const ToolRun statsOnly = checkDashboardOnFake(
        "dashboard-stalled-stats-only", {"--callers", "2", "--input", "stalled", "--no-status-api"},
        {"--expect-callers", "2", "--expect-input", "stalled", "--expect-status-api", "absent"});
    EXPECT_EQ(statsOnly.status, 0) << statsOnly.output;
    const ToolRun left = checkDashboardOnFake(
        "dashboard-stalled-caller-left",
        {"--callers", "3", "--input", "stalled", "--leave-after", "3"},
        {"--expect-callers", "2", "--expect-input", "stalled", "--expect-status-api", "present",
         "--expect-departed", "1", "--select", "198.51.100.7:50123", "--expect-detail", "absent"});
    EXPECT_EQ(left.status, 0) << left.output;
}

} // namespace
} // namespace vandra::e2e
