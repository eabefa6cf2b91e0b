#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filecaller.h"
#include "harness.h"
#include "webclient.h"

// Who may connect and who may use the web port, held against real callers (the load client,
// srt-live-transmit, ffprobe) and an HTTP client, all on loopback.
namespace vandra::e2e {
namespace {

constexpr const char* kAliceSecret = "alice-Zk9-secret";
constexpr const char* kBobSecret = "bob-Zk9-secret-2";
constexpr const char* kWebPassword = "ops-Zk9-password";

// Files of names and secrets in a folder of their own, named by absolute path.
class SecretFiles {
public:
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_.path() / name, std::ios::binary) << text;
        return (dir_.path() / name).string();
    }

private:
    ScratchDir dir_{"vandra_secrets_"};
};

std::string usersFile(const SecretFiles& files) {
    return files.write("users", std::string("# viewers\nalice:") + kAliceSecret +
                                    "\nbob : " + kBobSecret + "\n");
}

// A caller that was refused, as srt-live-transmit saw it: the reject reason, nothing received.
// (It does not always exit at once after a refusal, so it is stopped once it has said why.)
void expectTransmitRefused(FileCaller& caller, const std::string& reasonText) {
    const std::string expected = "REJECT reported from HS processing: " + reasonText;
    EXPECT_TRUE(waitUntil([&] { return contains(caller.messages(), expected); }, 10s))
        << caller.messages();
    caller.process->stop();
    EXPECT_EQ(caller.size(), 0u);
}

// A load-client caller that was refused, with the reject reason's number it received.
void expectRefused(const ToolRun& run, int rejectReason, const std::string& who) {
    EXPECT_EQ(run.status, 1) << who << ": " << run.output;
    EXPECT_EQ(run.number("connected"), 0u) << who << ": " << run.json;
    EXPECT_TRUE(contains(run.output, "(reject reason " + std::to_string(rejectReason) + ")"))
        << who << ": " << run.output;
}

HttpReply webGet(const std::string& host, int port, const std::string& path,
                 const std::string& name = "", const std::string& password = "") {
    return httpGet(port, path, {}, {host, name, password}).value_or(HttpReply{});
}

// ---- The caller limit and allowed networks -------------------------------------------------

// Guards against a limit that is not enforced, refused without a reason the caller can read,
// slipped past by callers that arrive together (while the first ones are still between the
// listen hook and the registry), or that keeps counting callers that have gone; and against
// the address filter letting in an address outside its networks, refusing one inside, or only
// looking at the first network of the list. Without users, too, the accept line, the status
// document and the departed list name each caller's stream id. Then a stop: the server says
// so, and a connected srt-live-transmit sees its connection end instead of waiting for its
// peer timeout (set to a minute here, so that only a close ends it in time).
TEST(AccessLimit, BurstGetsNoMoreThanTheLimitAndOnlyListedNetworksGetIn) {
    ServerFixture fixture({"maxcallers=2", "allow=127.0.0.1/32, 127.0.0.3/32"});
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    const ToolRun burst =
        fixture.runCallers(6, 1, 60s, {"--stagger-ms", "0", "--streamid", "studio-a"});
    EXPECT_EQ(burst.number("connected"), 2u) << burst.output;
    EXPECT_TRUE(contains(burst.output, "(reject reason 1402)")) << burst.output;
    EXPECT_EQ(fixture.countInLog("accept new client"), 2) << fixture.log();
    EXPECT_TRUE(fixture.waitForLog(
        "not connected: caller limit of 2 reached, SRT reject reason 1402 (", 2s))
        << fixture.log();
    EXPECT_EQ(metricOf(fixture.webPort, "vandra_callers_rejected_total{reason=\"limit\"}"), 4);
    ASSERT_TRUE(fixture.waitForLog(") ended: hung up", 5s, 2)) << fixture.log();
    EXPECT_EQ(fixture.countInLog(" streamid \"studio-a\"  rightserver"), 2) << fixture.log();
    const Json gone = waitForStatus(
        fixture.webPort, [](const Json& s) { return s["departed"].size() == 2u; }, 10s);
    for (const Json& caller : gone["departed"]) {
        EXPECT_EQ(caller["stream_id"], "studio-a") << gone.dump();
    }
    expectLossless(fixture.runCallers(2, 1, 20s), 2, "callers after the first two left");

    FileCaller stranger(fixture.dir(), "stranger", fixture.srtPort, "", "127.0.0.2");
    expectTransmitRefused(stranger, "Application-defined rejection reason");
    EXPECT_TRUE(fixture.waitForLog("-- caller 127.0.0.2:", 2s)) << fixture.log();
    EXPECT_TRUE(contains(fixture.log(), "not connected: address not allowed, SRT reject reason "
                                        "1403 (0 more from this address in the previous 10 s)"))
        << fixture.log();
    ASSERT_TRUE(fixture.waitForLog(") ended: hung up", 5s, 4)) << fixture.log();
    FileCaller listed(fixture.dir(), "listed", fixture.srtPort,
                      "latency=500&peeridletimeo=60000&streamid=studio-b", "127.0.0.3");
    EXPECT_TRUE(waitUntil([&] { return listed.size() > 100'000; }, 10s)) << listed.messages();
    EXPECT_EQ(fixture.countInLog("accept new client"), 5) << fixture.log();
    EXPECT_EQ(fixture.countInLog(" streamid \"studio-b\"  rightserver"), 1) << fixture.log();
    const Json status = waitForStatus(
        fixture.webPort, [](const Json& doc) { return doc["callers"].size() == 1; }, 10s);
    ASSERT_EQ(status["callers"].size(), 1u) << status.dump();
    EXPECT_EQ(status["callers"][0]["stream_id"], "studio-b") << status.dump();
    EXPECT_EQ(metricOf(fixture.webPort, "vandra_callers_rejected_total{reason=\"address\"}"), 1);

    fixture.process->sendSignal(SIGTERM);
    EXPECT_EQ(fixture.process->waitExit(10s), kSigterm) << fixture.log();
    EXPECT_TRUE(contains(fixture.log(), "-- stopping on SIGTERM: 1 callers  main"))
        << fixture.log();
    EXPECT_TRUE(listed.process->waitExit(20s).has_value()) << listed.messages();
    EXPECT_FALSE(contains(fixture.log(), "Sanitizer")) << fixture.log();
    publisher->stop();
}

// ---- A passphrase per user ----------------------------------------------------------------

// Guards against a user getting in with another's passphrase, the shared passphrase or none
// (served in the clear), against an unknown or missing name getting in, and against either
// form of naming oneself not working; and against a real player being unable to name itself:
// ffprobe gives the access-control stream id in its URL with the '#' percent-encoded, as
// URL builders write it, decrypts and recognises the video.
TEST(AccessUsers, FfprobeAndEveryUserGetInWithTheirOwnPassphraseOnly) {
    const SecretFiles secrets;
    ServerFixture fixture({"users=" + usersFile(secrets), "passphrase=shared-Zk9-secret"});
    auto publisher = fixture.startPublisher({"--bitrate", "2000000"});
    expectLossless(
        fixture.runCallers(1, 1, 20s, {"--streamid", "alice", "--passphrase", kAliceSecret}), 1,
        "alice by bare name");
    expectLossless(fixture.runCallers(
                       1, 1, 20s, {"--streamid", "#!::r=live,u=bob", "--passphrase", kBobSecret}),
                   1, "bob by access-control stream id");
    const std::vector<std::pair<std::vector<std::string>, int>> refused{
        {{"--streamid", "alice", "--passphrase", kBobSecret}, 10},          // wrong secret
        {{"--streamid", "alice"}, 11},                                      // none
        {{"--streamid", "carol", "--passphrase", kAliceSecret}, 1401},      // unknown user
        {{"--streamid", "alice", "--passphrase", "shared-Zk9-secret"}, 10}, // shared one
    };
    for (const auto& [extra, reason] : refused) {
        expectRefused(fixture.runCallers(1, 1, 20s, extra), reason, extra.front() + extra[1]);
    }
    EXPECT_EQ(fixture.countInLog("accept new client"), 2) << fixture.log();
    EXPECT_TRUE(contains(fixture.log(), "-- the passphrase setting is not used")) << fixture.log();

    // Each from an address of its own, so that the log shows every refusal.
    FileCaller wrong(fixture.dir(), "wrong", fixture.srtPort,
                     std::string("streamid=alice&passphrase=") + kBobSecret, "127.0.0.11");
    expectTransmitRefused(wrong, "Incorrect passphrase");
    FileCaller rightful(fixture.dir(), "rightful", fixture.srtPort,
                        std::string("streamid=#!::u=alice&passphrase=") + kAliceSecret,
                        "127.0.0.13");
    EXPECT_TRUE(waitUntil([&] { return rightful.size() > 100'000; }, 10s)) << rightful.messages();
    const std::string status = webGet("127.0.0.1", fixture.webPort, "/api/v1/status").body;
    EXPECT_TRUE(contains(status, "\"user\":\"alice\",\"stream_id\":\"#!::u=alice\"")) << status;
    EXPECT_TRUE(
        contains(webGet("127.0.0.1", fixture.webPort, "/metrics").body, ",user=\"alice\"}"));
    rightful.process->stop();
    // Four load-client refusals and one of srt-live-transmit; none left as a passphrase refusal.
    EXPECT_EQ(metricOf(fixture.webPort, "vandra_callers_rejected_total{reason=\"user\"}"), 5);
    EXPECT_EQ(metricOf(fixture.webPort, "vandra_callers_rejected_total{reason=\"passphrase\"}"), 0);

    EXPECT_TRUE(fixture.waitForLog("not connected: wrong passphrase for user alice (0 more", 2s))
        << fixture.log();
    EXPECT_TRUE(contains(fixture.log(), " 127.0.0.13:")) << fixture.log();
    EXPECT_EQ(fixture.countInLog(" user alice  rightserver"), 2) << fixture.log();
    EXPECT_EQ(fixture.countInLog(" user bob  rightserver"), 1) << fixture.log();
    publisher->stop();

    auto encoder = startEncoder(fixture.source.group, fixture.source.port,
                                {"-t", "30", "-c:v", "mpeg2video", "-b:v", "1M"}, fixture.dir());
    const auto probe = [&](const std::string& streamId, const std::string& passphrase) {
        return finish(*Process::start({"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-i",
                                       "srt://127.0.0.1:" + std::to_string(fixture.srtPort) +
                                           "?streamid=" + streamId + "&passphrase=" + passphrase +
                                           "&timeout=5000000"},
                                      fixture.dir(), fixture.dir() / ("ffprobe_" + passphrase)),
                      30s);
    };
    const ToolRun rightfulProbe = probe("%23!::u=bob", kBobSecret);
    EXPECT_EQ(rightfulProbe.status, 0) << rightfulProbe.output;
    EXPECT_TRUE(contains(rightfulProbe.output, "codec_name=mpeg2video")) << rightfulProbe.output;
    const ToolRun wrongProbe = probe("#!::u=bob", kAliceSecret);
    EXPECT_NE(wrongProbe.status, 0) << wrongProbe.output;
    EXPECT_FALSE(contains(wrongProbe.output, "codec_type=video")) << wrongProbe.output;
    EXPECT_EQ(fixture.countInLog(" user bob  rightserver"), 2) << fixture.log();
    EXPECT_FALSE(contains(fixture.log(), "Zk9")) << "a secret in the log";
    encoder->stop();
    fixture.expectCleanStop();
}

// ---- The web port -----------------------------------------------------------------------

// Guards against a route (static files, unknown paths) escaping the check, a wrong password
// or another user's getting through, the liveness check being locked, and webnic being
// ignored.
TEST(AccessWeb, EveryRouteButHiAsksForAKnownNameAndItsPassword) {
    const SecretFiles secrets;
    const std::string users = secrets.write("webusers", std::string("ops:") + kWebPassword +
                                                            "\nviewer:viewer-Zk9-password\n");
    ServerFixture fixture({"webauth=" + users, "webnic=127.0.0.1"});
    const int port = fixture.webPort;
    for (const char* path :
         {"/stats", "/metrics", "/api/v1/status", "/", "/index.html", "/app.js", "/no-such-page"}) {
        const HttpReply anonymous = webGet("127.0.0.1", port, path);
        EXPECT_EQ(anonymous.status, 401) << path;
        EXPECT_EQ(anonymous.challenge, "Basic realm=\"vandra\"") << path;
        EXPECT_EQ(webGet("127.0.0.1", port, path, "ops", "viewer-Zk9-password").status, 401)
            << path;
        EXPECT_EQ(webGet("127.0.0.1", port, path, "nobody", kWebPassword).status, 401) << path;
    }
    EXPECT_EQ(webGet("127.0.0.1", port, "/hi").body, "hi from server");
    const HttpReply stats = webGet("127.0.0.1", port, "/stats", "ops", kWebPassword);
    EXPECT_EQ(stats.status, 200);
    EXPECT_EQ(stats.body.rfind("{\"settings\":{", 0), 0u) << stats.body;
    EXPECT_EQ(webGet("127.0.0.1", port, "/index.html", "viewer", "viewer-Zk9-password").status,
              200);
    EXPECT_EQ(webGet("127.0.0.2", port, "/hi").status, 0) << "listening beyond webnic";

    // The log's own thread writes the line after the answer has gone out.
    const std::string refusal = "-- web request from 127.0.0.1 refused: wrong name or password";
    EXPECT_TRUE(fixture.waitForLog(refusal, 5s)) << fixture.log();
    EXPECT_EQ(fixture.countInLog(refusal), 1) << fixture.log();
    EXPECT_FALSE(contains(fixture.log(), "Zk9")) << "a secret in the log";
    fixture.expectCleanStop();
}

} // namespace
} // namespace vandra::e2e
