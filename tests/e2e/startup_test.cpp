#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "harness.h"

namespace vandra::e2e {
namespace {

TEST(Startup, NoFileAndNoArgumentsFailsOnTheSource) {
    ServerInstance server;
    const ToolRun run = server.runToExit({});
    EXPECT_EQ(run.status, 254);
    EXPECT_EQ(run.output.rfind("Vandra Server  main  ", 0), 0u) << run.output;
    EXPECT_TRUE(contains(run.output, "\nBUILD DATE: ")) << run.output;
    EXPECT_TRUE(contains(run.output, "fail open: " + (server.dir() / "server.ini").string() +
                                         "  configreader  "))
        << run.output;
    EXPECT_TRUE(contains(run.output, "\nfail get multicast  main  ")) << run.output;
    EXPECT_FALSE(contains(run.output, "port:"));
}

TEST(Startup, FileModeReadsServerIniBesideTheExecutable) {
    ServerInstance server;
    server.writeIni("[config]\nsource = udp://239.1.1.1:5000\n");
    const ToolRun run = server.runToExit({});
    EXPECT_EQ(run.status, 255);
    EXPECT_TRUE(contains(run.output, "[config] source udp://239.1.1.1:5000  configreader  "));
    EXPECT_TRUE(contains(run.output, "\nport:  main  ")) << run.output;
    EXPECT_TRUE(contains(run.output, "\nfail parse input params  main  ")) << run.output;
}

TEST(Startup, ArgumentsReplaceTheFileEntirely) {
    ServerInstance server;
    server.writeIni("source=udp://239.1.1.1:5000\nport=9000\n");
    const ToolRun run = server.runToExit({"nonsense"});
    EXPECT_EQ(run.status, 254);
    EXPECT_FALSE(contains(run.output, "[config]")) << run.output;
    EXPECT_FALSE(contains(run.output, "fail open")) << run.output;
    EXPECT_TRUE(contains(run.output, "no source: give source=... and port=... as arguments, or "
                                     "put them in " +
                                         server.dir().string() + "/server.ini  main  "))
        << run.output;
    EXPECT_TRUE(contains(run.output, "fail get multicast"));
}

// Guards against a misspelt key being ignored without a word, and above all against a
// misspelt passphrase serving the stream in the clear (or printing the secret).
TEST(Startup, UnknownKeysAreNamedAndAMisspeltPassphraseStopsTheStart) {
    ServerInstance server;
    const ToolRun typo = server.runToExit(
        {"source=udp://239.1.1.1:5000", "port=9000", "passhprase=correct-horse-42", "colour=red"});
    EXPECT_EQ(typo.status, 255) << typo.output;
    EXPECT_TRUE(contains(typo.output,
                         "-- unknown setting passhprase (did you mean passphrase?): ignored  main"))
        << typo.output;
    EXPECT_TRUE(contains(typo.output, "-- unknown setting colour (did you mean "));
    EXPECT_TRUE(contains(typo.output, "looks like a misspelt passphrase")) << typo.output;
    EXPECT_TRUE(contains(typo.output, "[config] passhprase ********  configreader"));
    EXPECT_FALSE(contains(typo.output, "correct-horse-42")) << typo.output;

    const ToolRun secret = server.runToExit(
        {"source=udp://239.1.1.1:5000", "port=9000", "passphrase=correct-horse-42", "latency=-5"});
    EXPECT_EQ(secret.status, 255) << secret.output;
    EXPECT_TRUE(contains(secret.output, "[config] passphrase ********  configreader"));
    EXPECT_FALSE(contains(secret.output, "correct-horse-42")) << secret.output;
    EXPECT_TRUE(contains(secret.output, "ERROR: setting latency must not be negative: -5"));
}

TEST(Startup, UnusableSourceStopsWithTheParserReason) {
    ServerInstance server;
    const ToolRun noPort = server.runToExit({"source=udp://239.1.1.1", "port=9000"});
    EXPECT_EQ(noPort.status, 254);
    EXPECT_TRUE(contains(noPort.output, "-- fail parseSrtUrl size 1  utils  ")) << noPort.output;
    const ToolRun badPort = server.runToExit({"source=udp://239.1.1.1:50a0", "port=9000"});
    EXPECT_EQ(badPort.status, 254);
    EXPECT_TRUE(contains(badPort.output, "-- fail parseSrtUrl isNumber 50a0  utils  "))
        << badPort.output;
}

TEST(Startup, SrtPortMustBePlainDigitsWithinRange) {
    ServerInstance server;
    const std::string source = "source=udp://239.1.1.1:5000";
    for (const char* port : {"+9000", "-1", "9000x"}) {
        const ToolRun run = server.runToExit({source, std::string("port=") + port});
        EXPECT_EQ(run.status, 255) << port;
        EXPECT_TRUE(contains(run.output, std::string("port:") + port + "  main  ")) << run.output;
        EXPECT_TRUE(contains(run.output, "fail parse input params")) << run.output;
    }
    const ToolRun huge = server.runToExit({source, "port=99999999999"});
    EXPECT_EQ(huge.status, 255);
    EXPECT_TRUE(contains(huge.output, "ERROR: setting port is not a 32-bit number: 99999999999"))
        << huge.output;
}

TEST(Startup, WebPortAndLatencyThatDoNotConvert) {
    ServerInstance server;
    auto with = [](std::vector<std::string> more) {
        more.insert(more.begin(), {"source=udp://239.1.1.1:5000", "port=9000"});
        return more;
    };
    // "80a" falls back to 8080; the bad latency then stops the start before anything binds.
    const ToolRun letters = server.runToExit(with({"webport=80a", "latency=abc"}));
    EXPECT_EQ(letters.status, 255);
    EXPECT_TRUE(contains(letters.output, "\nwebport:8080 0  main  ")) << letters.output;
    EXPECT_TRUE(contains(letters.output, "ERROR: setting latency is not a 32-bit number: abc"))
        << letters.output;

    const ToolRun hugeWeb = server.runToExit(with({"webport=4294967296"}));
    EXPECT_EQ(hugeWeb.status, 255);
    EXPECT_TRUE(contains(hugeWeb.output, "webport:4294967296 1  main  ")) << hugeWeb.output;
    EXPECT_TRUE(
        contains(hugeWeb.output, "ERROR: setting webport is not a 32-bit number: 4294967296"));

    const ToolRun hugeLatency = server.runToExit(with({"latency=3000000000"}));
    EXPECT_EQ(hugeLatency.status, 255);
    EXPECT_TRUE(contains(hugeLatency.output, "ERROR: setting latency is not a 32-bit number"));
}

// Values the server takes but changes are said out loud.
TEST(Startup, ChangedValuesAreSaidOutLoud) {
    const int srtPort = freeUdpPort();
    const int webPort = freeTcpPort();
    ServerFixture server({"latency=300ms", "dump=yes", "port=" + std::to_string(srtPort + 65536),
                          "webport=" + std::to_string(webPort + 65536)});
    EXPECT_TRUE(server.waitForLog("latency 300  utils  ", 5s)) << server.log();
    for (const std::string& line : std::vector<std::string>{
             "-- latency 300ms read as 300  main", "-- dump=yes is not true or 1: not recording",
             "-- port " + std::to_string(srtPort + 65536) + " is above 65535: listening on " +
                 std::to_string(srtPort) + ", its low 16 bits",
             "-- webport " + std::to_string(webPort + 65536) + " is above 65535: listening on " +
                 std::to_string(webPort) + ", its low 16 bits"}) {
        EXPECT_TRUE(contains(server.log(), line)) << line << "\n" << server.log();
    }
    EXPECT_EQ(
        runTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 1), server.dir(), 20s)
            .number("connected"),
        1u);
    EXPECT_TRUE(server.waitForLog("ttype LIVE mode", 5s));
    EXPECT_EQ(server.process->stop(), kSigterm);

    ServerFixture fileMode({"latency=0"});
    EXPECT_TRUE(fileMode.waitForLog("ttype FILE mode  utils  ", 5s)) << fileMode.log();
    EXPECT_FALSE(contains(fileMode.log(), "\nlatency "));
}

TEST(Startup, NormalStartLogsInOrderAndEndsOnlyFromOutside) {
    ServerFixture server;
    const std::string log = server.log();
    const std::string srtPort = std::to_string(server.srtPort);
    const std::vector<std::string> order{"Vandra Server",
                                         "port:" + srtPort,
                                         "webport:" + std::to_string(server.webPort) + " 1",
                                         "web folder: ",
                                         "latency 500",
                                         "ttype LIVE mode",
                                         "start right server to " + srtPort + " sock:",
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
    EXPECT_EQ(server.process->stop(), kSigterm);
}

// ---- The two commands ------------------------------------------------------------------

// Process ids of the children of `pid` (from /proc).
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream list(task.path() / "children");
        for (pid_t child = 0; list >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

bool isGone(pid_t pid) {
    return pid > 0 && ::kill(pid, 0) != 0;
}

// The demo with free ports, in a folder of its own; its server and ffmpeg are its children.
struct Demo {
    ServerInstance instance;
    std::unique_ptr<Process> script;
    std::vector<pid_t> children;

    Demo() {
        const MulticastSource source = uniqueSource();
        script = Process::start({"/usr/bin/env", "VANDRA_DEMO_GROUP=" + source.group,
                                 "VANDRA_DEMO_SRT_PORT=" + std::to_string(freeUdpPort()),
                                 "VANDRA_DEMO_WEB_PORT=" + std::to_string(freeTcpPort()),
                                 std::string(VANDRA_SOURCE_DIR) + "/scripts/demo.sh",
                                 instance.dir().string()},
                                instance.dir(), instance.dir() / "demo.log");
        EXPECT_TRUE(script->waitForOutput("-- used iface for MULTICAST GROUP", 10s))
            << script->output();
        waitUntil([this] { return (children = childrenOf(script->pid())).size() == 2; }, 5s);
        EXPECT_EQ(children.size(), 2u) << script->output();
    }
};

// Guards against the demo leaving its settings beside the server (a later plain start then
// runs them) and leaving the server or the publisher running when it is stopped or when one
// of them ends.
TEST(Demo, WritesNoSettingsAndStopsBothProgramsTogether) {
    Demo stopped;
    EXPECT_FALSE(std::filesystem::exists(stopped.instance.dir() / "server.ini"));
    stopped.script->sendSignal(SIGTERM);
    EXPECT_EQ(stopped.script->waitExit(10s), kSigterm);
    for (const pid_t child : stopped.children) {
        EXPECT_TRUE(waitUntil([child] { return isGone(child); }, 5s)) << child;
    }

    Demo serverEnds;
    ASSERT_EQ(serverEnds.children.size(), 2u);
    ::kill(serverEnds.children.front(), SIGKILL); // the server is started first
    EXPECT_TRUE(serverEnds.script->waitExit(10s).has_value());
    EXPECT_TRUE(waitUntil([&] { return isGone(serverEnds.children.back()); }, 5s));
}

// Guards against ./run.sh installing what only the tests need.
TEST(Demo, RunInstallsOnlyWhatBuildingAndRunningNeed) {
    const ScratchDir dir;
    const ToolRun run =
        finish(*Process::start(
                   {std::string(VANDRA_SOURCE_DIR) + "/scripts/install-deps.sh", "--list", "run"},
                   dir.path(), dir.path() / "list.log"),
               10s);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "libsrt-openssl-dev\n")) << run.output;
    for (const char* testOnly : {"chromium", "clang", "gstreamer", "wrk", "prometheus", "gtest"}) {
        EXPECT_FALSE(contains(run.output, testOnly)) << testOnly;
    }
}

// Guards against a failed fork (pid -1) turning stop() into kill(-1, ...): a signal to every
// process of the user, the test runner included.
TEST(Harness, ProcessThatNeverStartedIsNeverSignalled) {
    const ScratchDir dir;
    for (const pid_t pid : {-1, 0}) {
        Process ghost(pid, dir.path() / "ghost.log");
        EXPECT_FALSE(ghost.running());
        EXPECT_EQ(ghost.stop(), -1);
    }
}

// Whether the usage has the line "  KEY   DEFAULT   meaning" for this key and default.
bool listsDefault(const std::string& usage, const std::string& key, const std::string& value) {
    std::istringstream lines(usage);
    const std::string lead = "  " + key + " ";
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(lead, 0) == 0) {
            const size_t at = line.find_first_not_of(' ', lead.size());
            return at != std::string::npos && line.compare(at, value.size() + 1, value + " ") == 0;
        }
    }
    return false;
}

TEST(CommandLine, HelpListsEverySettingWithItsDefaultAndStartsNothing) {
    ServerInstance server;
    const std::vector<std::pair<std::string, std::string>> defaults{
        {"source", "required"},   {"port", "required"},
        {"webport", "8080"},      {"srt_nic", "all interfaces"},
        {"streamid", "none"},     {"passphrase", "none"},
        {"latency", "500"},       {"dump", "false"},
        {"input_timeout", "2000"}};
    for (const char* option : {"--help", "-h"}) {
        const ToolRun run = server.runToExit({option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.output.rfind("usage: vandra-server ", 0), 0u) << run.output;
        EXPECT_FALSE(contains(run.output, "Vandra Server")) << run.output;
        for (const auto& [key, value] : defaults) {
            EXPECT_TRUE(listsDefault(run.output, key, value)) << key << "\n" << run.output;
        }
    }
}

TEST(CommandLine, VersionPrintsOnlyTheVersionEvenWithAUsableIni) {
    ServerInstance server;
    server.writeIni("source=udp://239.1.1.1:5000\nport=9000\n");
    const ToolRun run = server.runToExit({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "vandra-server " VANDRA_VERSION "\n");
}

TEST(CommandLine, OnlyALoneExactOptionCountsEverythingElseIsSettings) {
    ServerInstance server;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help", "port=9000"},
                                                 {"port=9000", "--version"},
                                                 {"--HELP"},
                                                 {"-help"},
                                                 {"--version=1"}}) {
        const ToolRun run = server.runToExit(args);
        EXPECT_EQ(run.status, 254) << args.front();
        EXPECT_TRUE(contains(run.output, "fail get multicast")) << run.output;
        EXPECT_FALSE(contains(run.output, "usage:")) << run.output;
    }
}

} // namespace
} // namespace vandra::e2e
