#include <gtest/gtest.h>

#include "harness.h"

namespace vandra::e2e {
namespace {

// Runs the server with these settings (none: server.ini) and returns its exit status.
struct Outcome {
    int status = -1;
    std::string log;
};

Outcome runToExit(const ServerInstance& server, const std::vector<std::string>& settings) {
    auto process = server.run(settings);
    const auto status = process->waitExit(10s);
    Outcome outcome{status.value_or(-1), server.stdoutLog()};
    if (!status) {
        process->stop();
    }
    return outcome;
}

bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

TEST(Startup, NoFileAndNoArgumentsFailsOnTheSource) {
    ServerInstance server;
    const Outcome outcome = runToExit(server, {});
    EXPECT_EQ(outcome.status, 254);
    EXPECT_EQ(outcome.log.rfind("Vandra Server  main  ", 0), 0u) << outcome.log;
    EXPECT_TRUE(has(outcome.log, "\nBUILD DATE: ")) << outcome.log;
    EXPECT_TRUE(has(outcome.log,
                    "fail open: " + (server.dir() / "server.ini").string() + "  configreader  "))
        << outcome.log;
    EXPECT_TRUE(has(outcome.log, "\nfail get multicast  main  ")) << outcome.log;
    EXPECT_FALSE(has(outcome.log, "port:"));
}

TEST(Startup, FileModeReadsServerIniBesideTheExecutable) {
    ServerInstance server;
    server.writeIni("[config]\nsource = udp://239.1.1.1:5000\n");
    const Outcome outcome = runToExit(server, {});
    EXPECT_EQ(outcome.status, 255);
    EXPECT_TRUE(has(outcome.log, "[config] source udp://239.1.1.1:5000  configreader  "));
    EXPECT_TRUE(has(outcome.log, "\nport:  main  ")) << outcome.log;
    EXPECT_TRUE(has(outcome.log, "\nfail parse input params  main  ")) << outcome.log;
}

TEST(Startup, ArgumentsReplaceTheFileEntirely) {
    ServerInstance server;
    server.writeIni("source=udp://239.1.1.1:5000\nport=9000\n");
    const Outcome outcome = runToExit(server, {"nonsense"});
    EXPECT_EQ(outcome.status, 254);
    EXPECT_FALSE(has(outcome.log, "[config]")) << outcome.log;
    EXPECT_FALSE(has(outcome.log, "fail open")) << outcome.log;
    EXPECT_TRUE(has(outcome.log, "fail get multicast"));
}

TEST(Startup, UnusableSourceStopsWithTheParserReason) {
    ServerInstance server;
    const Outcome noPort = runToExit(server, {"source=udp://239.1.1.1", "port=9000"});
    EXPECT_EQ(noPort.status, 254);
    EXPECT_TRUE(has(noPort.log, "-- fail parseSrtUrl size 1  utils  ")) << noPort.log;
    const Outcome badPort = runToExit(server, {"source=udp://239.1.1.1:50a0", "port=9000"});
    EXPECT_EQ(badPort.status, 254);
    EXPECT_TRUE(has(badPort.log, "-- fail parseSrtUrl isNumber 50a0  utils  ")) << badPort.log;
}

TEST(Startup, SrtPortMustBePlainDigitsWithinRange) {
    ServerInstance server;
    const std::string source = "source=udp://239.1.1.1:5000";
    for (const char* port : {"+9000", "-1", "9000x"}) {
        const Outcome outcome = runToExit(server, {source, std::string("port=") + port});
        EXPECT_EQ(outcome.status, 255) << port;
        EXPECT_TRUE(has(outcome.log, std::string("port:") + port + "  main  ")) << outcome.log;
        EXPECT_TRUE(has(outcome.log, "fail parse input params")) << outcome.log;
    }
    const Outcome huge = runToExit(server, {source, "port=99999999999"});
    EXPECT_EQ(huge.status, 255);
    EXPECT_TRUE(has(huge.log, "ERROR: setting port is not a 32-bit number: 99999999999"))
        << huge.log;
}

TEST(Startup, WebPortAndLatencyThatDoNotConvert) {
    ServerInstance server;
    const std::vector<std::string> base{"source=udp://239.1.1.1:5000", "port=9000"};
    auto with = [&base](std::vector<std::string> more) {
        more.insert(more.begin(), base.begin(), base.end());
        return more;
    };
    // "80a" falls back to 8080; the bad latency then stops the start before anything binds.
    const Outcome letters = runToExit(server, with({"webport=80a", "latency=abc"}));
    EXPECT_EQ(letters.status, 255);
    EXPECT_TRUE(has(letters.log, "\nwebport:8080 0  main  ")) << letters.log;
    EXPECT_TRUE(has(letters.log, "ERROR: setting latency is not a 32-bit number: abc"))
        << letters.log;

    const Outcome hugeWeb = runToExit(server, with({"webport=4294967296"}));
    EXPECT_EQ(hugeWeb.status, 255);
    EXPECT_TRUE(has(hugeWeb.log, "webport:4294967296 1  main  ")) << hugeWeb.log;
    EXPECT_TRUE(has(hugeWeb.log, "ERROR: setting webport is not a 32-bit number: 4294967296"));

    const Outcome hugeLatency = runToExit(server, with({"latency=3000000000"}));
    EXPECT_EQ(hugeLatency.status, 255);
    EXPECT_TRUE(has(hugeLatency.log, "ERROR: setting latency is not a 32-bit number"));
}

TEST(Startup, LatencyTextConvertsLikeTheStandardConversion) {
    const MulticastSource source = uniqueSource();
    RunningServer server = startServer(source, freeUdpPort(), {"latency=300ms"});
    EXPECT_TRUE(server.process->waitForOutput("latency 300  utils  ", 5s))
        << server.process->output();
    EXPECT_TRUE(server.process->waitForOutput("ttype LIVE mode", 5s));
    EXPECT_EQ(server.process->stop(), 128 + 15);

    RunningServer fileMode = startServer(uniqueSource(), freeUdpPort(), {"latency=0"});
    EXPECT_TRUE(fileMode.process->waitForOutput("ttype FILE mode  utils  ", 5s))
        << fileMode.process->output();
    EXPECT_FALSE(has(fileMode.process->output(), "\nlatency "));
}

TEST(Startup, NormalStartLogsInOrderAndEndsOnlyFromOutside) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort);
    const std::string log = server.process->output();
    const std::vector<std::string> order{"Vandra Server",
                                         "port:" + std::to_string(srtPort),
                                         "webport:" + std::to_string(server.webPort) + " 1",
                                         "web folder: ",
                                         "latency 500",
                                         "ttype LIVE mode",
                                         "start right server to " + std::to_string(srtPort) +
                                             " sock:",
                                         "before recv [buffer] to ",
                                         "-- used iface: 127.0.0.1",
                                         "-- used iface for MULTICAST GROUP: 127.0.0.1"};
    size_t at = 0;
    for (const auto& line : order) {
        const size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found;
    }
    EXPECT_TRUE(server.process->running());
    EXPECT_EQ(server.process->stop(), 128 + 15);
}

} // namespace
} // namespace vandra::e2e
