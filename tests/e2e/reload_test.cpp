#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "filecaller.h"
#include "harness.h"
#include "rawhttp.h"

// New access rules on SIGHUP while callers watch: who is cut, who keeps every byte, and that
// a reload with a fault changes nothing. All on loopback.
namespace vandra::e2e {
namespace {

constexpr const char* kAliceSecret = "alice-Zk9-secret";
constexpr const char* kNewAliceSecret = "alice-Zk9-renewed";
constexpr const char* kBobSecret = "bob-Zk9-secret-2";
constexpr const char* kCarolSecret = "carol-Zk9-secret";
constexpr const char* kOldWebPassword = "ops-Zk9-password";
constexpr const char* kNewWebPassword = "ops-Zk9-renewed!";

void rewrite(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> userArgs(const std::string& name, const char* secret) {
    return {"--streamid", name, "--passphrase", secret};
}

// Guards against a reload that leaves a removed user connected or one whose passphrase changed,
// cuts a user who stays (or costs her a packet), does not admit a user just added or a new
// passphrase, still admits the removed user or an old passphrase, keeps the old web password or
// drops a web client's kept connection, writes a secret into the log, or applies half of a
// broken file.
TEST(AccessReload, UsersAndWebPasswordsChangeWhileOthersKeepWatching) {
    const ScratchDir secrets("vandra_reload_");
    const std::filesystem::path users = secrets.path() / "users";
    const std::filesystem::path webUsers = secrets.path() / "webusers";
    rewrite(users, std::string("alice:") + kAliceSecret + "\nbob:" + kBobSecret + "\n");
    rewrite(webUsers, std::string("ops:") + kOldWebPassword + "\n");
    ServerFixture fixture({"users=" + users.string(), "webauth=" + webUsers.string()});
    auto publisher = fixture.startPublisher({"--bitrate", "2000000", "--seconds", "60"});
    auto alice = fixture.startCallers(1, 50, userArgs("alice", kAliceSecret));
    auto bob = fixture.startCallers(1, 50, userArgs("bob", kBobSecret));
    ASSERT_TRUE(fixture.waitForLog(" user bob  rightserver", 10s)) << fixture.log();
    ASSERT_TRUE(fixture.waitForLog(" user alice  rightserver", 10s)) << fixture.log();
    // One web client keeping its connection; the socket hook runs once per connection made.
    httplib::Client web("127.0.0.1", fixture.webPort);
    web.set_keep_alive(true);
    int webConnections = 0;
    web.set_socket_options([&](int) { ++webConnections; });
    const auto webStatus = [&](const char* password) {
        web.set_basic_auth("ops", password);
        const httplib::Result reply = web.Get("/stats");
        return reply ? reply->status : 0;
    };
    EXPECT_EQ(webStatus(kOldWebPassword), 200);

    rewrite(users, std::string("alice:") + kAliceSecret + "\ncarol:" + kCarolSecret + "\n");
    rewrite(webUsers, std::string("ops:") + kNewWebPassword + "\n");
    fixture.process->sendSignal(SIGHUP);
    ASSERT_TRUE(fixture.waitForLog("-- reload done: users 1 added, 1 removed, 0 with a new "
                                   "passphrase; web users changed (1 now); 1 callers cut",
                                   10s))
        << fixture.log();
    EXPECT_TRUE(fixture.waitForLog(" user bob (socket ", 5s));
    EXPECT_TRUE(fixture.waitForLog(") ended: access withdrawn (user removed); connected ", 5s))
        << fixture.log();
    EXPECT_EQ(fixture.countInLog("user alice (socket "), 0) << fixture.log();
    EXPECT_EQ(webStatus(kOldWebPassword), 401);
    EXPECT_EQ(webStatus(kNewWebPassword), 200);
    EXPECT_EQ(webConnections, 1);
    expectLossless(fixture.runCallers(1, 1, 20s, userArgs("carol", kCarolSecret)), 1, "carol");
    const ToolRun bobAgain = fixture.runCallers(1, 1, 20s, userArgs("bob", kBobSecret));
    EXPECT_TRUE(contains(bobAgain.output, "(reject reason 1401)")) << bobAgain.output;

    rewrite(users, std::string("alice:") + kAliceSecret + "\nno separator here\n");
    fixture.process->sendSignal(SIGHUP);
    ASSERT_TRUE(fixture.waitForLog("ERROR: reload failed, a setting is unusable", 10s))
        << fixture.log();
    EXPECT_TRUE(fixture.waitForLog("users, line 2: no ':' between name and secret", 5s))
        << fixture.log();
    expectLossless(fixture.runCallers(1, 1, 20s, userArgs("carol", kCarolSecret)), 1,
                   "carol after a failed reload");

    rewrite(users, std::string("alice:") + kNewAliceSecret + "\ncarol:" + kCarolSecret + "\n");
    fixture.process->sendSignal(SIGHUP);
    ASSERT_TRUE(fixture.waitForLog("-- reload done: users 0 added, 0 removed, 1 with a new "
                                   "passphrase; 1 callers cut",
                                   10s))
        << fixture.log();
    EXPECT_TRUE(
        fixture.waitForLog(") ended: access withdrawn (passphrase changed); connected ", 5s))
        << fixture.log();
    // Cut by the last reload only: every packet until then, across the earlier two.
    const ToolRun aliceRun = finish(*alice, 20s);
    EXPECT_EQ(aliceRun.number("disconnected"), 1u) << aliceRun.json;
    EXPECT_EQ(aliceRun.number("gaps"), 0u) << aliceRun.json;
    EXPECT_EQ(aliceRun.number("duplicates"), 0u) << aliceRun.json;
    EXPECT_EQ(aliceRun.number("corrupt"), 0u) << aliceRun.json;
    auto aliceOld = fixture.startCallers(1, 1, userArgs("alice", kAliceSecret));
    auto aliceNew = fixture.startCallers(1, 1, userArgs("alice", kNewAliceSecret));
    const ToolRun refused = finish(*aliceOld, 20s);
    EXPECT_TRUE(contains(refused.output, "(reject reason 10)")) << refused.output;
    expectLossless(finish(*aliceNew, 20s), 1, "alice with her new passphrase");
    for (const char* secret :
         {kAliceSecret, kNewAliceSecret, kBobSecret, kCarolSecret, kNewWebPassword}) {
        EXPECT_FALSE(contains(fixture.log(), secret)) << secret;
    }
    bob->stop();
    publisher->stop();
}

// Guards against a settings file named by config= not being read, a relative users path in it
// not being taken from its folder, a narrowed allow-list leaving a caller from a dropped network
// connected or cutting one from a kept network, a lowered limit cutting anyone or not refusing
// the next caller, a restart-only change going unmentioned, a bad network list being applied,
// and the reload metrics not counting.
TEST(AccessReload, ChannelFileNarrowsNetworksAndLimit) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    const int webPort = freeTcpPort();
    const ScratchDir channel("vandra_channel_");
    const std::filesystem::path settings = channel.path() / "news.ini";
    rewrite(channel.path() / "viewers", std::string("viewer:") + kAliceSecret + "\n");
    const std::string common = source.setting() + "\nport=" + std::to_string(srtPort) +
                               "\nwebport=" + std::to_string(webPort) + "\nusers=viewers\n";
    rewrite(settings, common + "allow=127.0.0.1/32,127.0.0.2/32\nmaxcallers=4\n");
    ServerInstance instance;
    auto server = instance.run({"config=" + settings.string()});
    ASSERT_TRUE(waitForJoin(*server, source.group)) << server->output();
    // The log is written by its own thread: the line may follow the join.
    EXPECT_TRUE(server->waitForOutput("access: 1 users, each with a passphrase, from " +
                                          (channel.path() / "viewers").string(),
                                      10s))
        << server->output();
    auto publisher = startTool("vandra-publisher",
                               publisherArgs(source.group, source.port, {"--bitrate", "2000000"}),
                               instance.dir());
    FileCaller stranger(instance.dir(), "stranger", srtPort,
                        std::string("latency=500&streamid=viewer&passphrase=") + kAliceSecret,
                        "127.0.0.2");
    const std::vector<std::string> viewer = userArgs("viewer", kAliceSecret);
    auto local = startTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 20, viewer),
                           instance.dir());
    ASSERT_TRUE(waitUntil([&] { return stranger.size() > 100'000; }, 10s)) << stranger.messages();
    ASSERT_TRUE(server->waitForOutput("accept new client", 10s, 2)) << server->output();

    rewrite(settings, common + "allow=127.0.0.1/32\nmaxcallers=1\nlatency=800\n");
    server->sendSignal(SIGHUP);
    ASSERT_TRUE(server->waitForOutput("; 1 callers cut", 10s)) << server->output();
    EXPECT_TRUE(server->waitForOutput("-- caller 127.0.0.2:", 5s));
    EXPECT_TRUE(server->waitForOutput(") ended: access withdrawn (address not allowed)", 5s))
        << server->output();
    EXPECT_TRUE(contains(server->output(), "callers from 127.0.0.1/32 (was "
                                           "127.0.0.1/32,127.0.0.2/32); caller limit 1 (was 4)"))
        << server->output();
    EXPECT_TRUE(server->waitForOutput(
        "-- changed settings that take effect only after a restart: latency", 5s))
        << server->output();
    const ToolRun refused = runTool(
        "vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 1, viewer), instance.dir(), 20s);
    EXPECT_TRUE(contains(refused.output, "(reject reason 1402)")) << refused.output;

    rewrite(settings, common + "allow=127.0.0.1/33\n");
    server->sendSignal(SIGHUP);
    ASSERT_TRUE(server->waitForOutput("ERROR: reload failed", 10s)) << server->output();
    local->sendSignal(SIGTERM); // its 20 s are only an upper bound
    expectLossless(finish(*local, 20s), 1, "the caller from the kept network");
    EXPECT_EQ(metricOf(webPort, "vandra_config_reloads_total"), 2);
    EXPECT_EQ(metricOf(webPort, "vandra_config_reload_failures_total"), 1);
    // Counted once the cut caller's thread has been reaped (every 3 s).
    EXPECT_TRUE(waitUntil(
        [&] {
            return metricOf(webPort, "vandra_callers_disconnected_total{reason=\"withdrawn\"}") ==
                   1;
        },
        10s));
    EXPECT_EQ(server->stop(), kSigterm);
    publisher->stop();
}

// The load of the reload storm, in callers of an 8 Mbit/s stream. The load client spends about
// 4 % of a core per caller here, so a hundred would need more than this 2-core machine has (the
// server's share is about half that): bench/reloadstorm.sh runs the larger figures. 20 at the
// start and 24 at the end leave room for the other tests running beside it. ThreadSanitizer
// slows both ends several times.
#ifdef __SANITIZE_THREAD__
constexpr int kStayingCallers = 2;
constexpr int kJoiningCallers = 1;
#else
constexpr int kStayingCallers = 20;
constexpr int kJoiningCallers = 4;
#endif
constexpr int kStreamBitrate = 8'000'000;
constexpr int kStormReloads = 100;
constexpr auto kReloadInterval = 100ms;

// Guards against a swap of the rules that stalls or races the data path or the listen hook:
// callers that stay admitted lose no packet while the users file changes and is reloaded every
// 100 ms, callers joining meanwhile are admitted by whichever version is in force, and the one
// removed user is cut in the middle of it all.
TEST(AccessReload, ReloadStormUnderLoadCostsStayingCallersNoPacket) {
    const ScratchDir secrets("vandra_reload_");
    const std::filesystem::path users = secrets.path() / "users";
    const std::string kept =
        std::string("alice:") + kAliceSecret + "\ncarol:" + kCarolSecret + "\n";
    rewrite(users, kept + "bob:" + kBobSecret + "\n");
    ServerFixture fixture({"users=" + users.string()});
    auto publisher = fixture.startPublisher({"--bitrate", std::to_string(kStreamBitrate)});
    // Stopped by SIGTERM once the storm is over, however long the storm took.
    const std::vector<std::string> latency = {"--latency", "1000"};
    auto staying = fixture.startCallers(kStayingCallers, 600,
                                        joined(userArgs("alice", kAliceSecret), latency));
    auto bob = fixture.startCallers(1, 600, userArgs("bob", kBobSecret));
    ASSERT_TRUE(fixture.waitForLog("accept new client", 30s, kStayingCallers + 1)) << fixture.log();

    auto joining = fixture.startCallers(
        kJoiningCallers, 600,
        joined(userArgs("carol", kCarolSecret), joined(latency, {"--stagger-ms", "2000"})));
    const auto stormStart = std::chrono::steady_clock::now();
    for (int i = 1; i <= kStormReloads; ++i) {
        rewrite(users, i % 2 == 1 ? kept : kept + "dave:" + kBobSecret + "\n");
        fixture.process->sendSignal(SIGHUP);
        ASSERT_TRUE(fixture.waitForLog("-- reload done: users ", 10s, i)) << fixture.log();
        std::this_thread::sleep_until(stormStart + i * kReloadInterval); // pace, not sync
    }
    const auto stormMs = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - stormStart);
    ASSERT_TRUE(fixture.waitForLog("accept new client", 30s, kStayingCallers + 1 + kJoiningCallers))
        << fixture.log();
    EXPECT_EQ(fixture.countInLog("; 0 callers cut"), kStormReloads - 1) << fixture.log();
    EXPECT_TRUE(fixture.waitForLog(") ended: access withdrawn (user removed)", 5s))
        << fixture.log();
    staying->sendSignal(SIGTERM);
    joining->sendSignal(SIGTERM);
    const ToolRun stayed = finish(*staying, 30s);
    expectLossless(stayed, kStayingCallers, "callers through the reload storm");
    // A caller the server stopped feeding would show no gap, only too few packets: half of
    // what the storm's ten seconds carried is a bound no working server misses.
    const std::uint64_t stormPackets =
        kStreamBitrate / 8 / 188 * (kStormReloads * kReloadInterval / 1s);
    EXPECT_GE(stayed.number("per_caller_min_packets").value_or(0), stormPackets / 2) << stayed.json;
    expectLossless(finish(*joining, 30s), kJoiningCallers, "callers joining during the storm");
    figure("reload storm: " + std::to_string(kStormReloads) + " reloads in " +
           std::to_string(stormMs.count()) + " ms; staying callers " + stayed.json);
    bob->stop();
    publisher->stop();
}

} // namespace
} // namespace vandra::e2e
