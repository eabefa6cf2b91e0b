#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    KeptConnection web(fixture.webPort);
    const std::string oldWeb = basicAuthorization("ops", kOldWebPassword);
    const std::string newWeb = basicAuthorization("ops", kNewWebPassword);
    EXPECT_EQ(httpStatus(web.get("/stats", oldWeb)), 200);

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
    EXPECT_EQ(httpStatus(web.get("/stats", oldWeb)), 401);
    EXPECT_EQ(httpStatus(web.get("/stats", newWeb)), 200);
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
    expectLossless(finish(*local, 60s), 1, "the caller from the kept network");
    EXPECT_EQ(metricOf(webPort, "vandra_config_reloads_total"), 2);
    EXPECT_EQ(metricOf(webPort, "vandra_config_reload_failures_total"), 1);
    EXPECT_EQ(metricOf(webPort, "vandra_callers_disconnected_total{reason=\"withdrawn\"}"), 1);
    EXPECT_EQ(server->stop(), kSigterm);
    publisher->stop();
}

// Guards against a swap of the rules that stalls or races the data path: ten callers that
// stay admitted lose no packet while the users file changes and is reloaded thirty times.
TEST(AccessReload, RepeatedReloadsCostStayingCallersNoPacket) {
    const ScratchDir secrets("vandra_reload_");
    const std::filesystem::path users = secrets.path() / "users";
    const std::string alice = std::string("alice:") + kAliceSecret + "\n";
    rewrite(users, alice);
    ServerFixture fixture({"users=" + users.string()});
    auto publisher = fixture.startPublisher({"--bitrate", "2000000", "--seconds", "60"});
    auto callers = fixture.startCallers(10, 8, userArgs("alice", kAliceSecret));
    ASSERT_TRUE(fixture.waitForLog(" user alice  rightserver", 20s, 10)) << fixture.log();
    constexpr int kReloads = 30;
    for (int i = 1; i <= kReloads; ++i) {
        rewrite(users, i % 2 == 1 ? alice + "dave:" + kBobSecret + "\n" : alice);
        fixture.process->sendSignal(SIGHUP);
        ASSERT_TRUE(fixture.waitForLog("-- reload done: users ", 10s, i)) << fixture.log();
    }
    EXPECT_EQ(fixture.countInLog("; 0 callers cut"), kReloads) << fixture.log();
    expectLossless(finish(*callers, 60s), 10, "callers across the reloads");
    publisher->stop();
}

} // namespace
} // namespace vandra::e2e
