#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace vandra::e2e {
namespace {

// ---- Starts that fail ----------------------------------------------------------------------

// A start that must fail with `status`, saying every `said` and none of `unsaid`. In settings
// "SOURCE" stands for a group of its own, "PORT" and "WEBPORT" for free ports, "UDPPORT" for
// another; in every text "DIR" stands for the executable's folder, "HELD" for a UDP port
// that a socket of this test holds and "TESTPID" for this test's process id.
struct FailedStart {
    std::string name;
    std::vector<std::string> settings;
    int status;
    std::vector<std::string> said;
    std::vector<std::string> unsaid = {};
    std::string ini = "";
};

std::ostream& operator<<(std::ostream& out, const FailedStart& start) {
    return out << start.name;
}

std::string expanded(std::string text, const std::string& dir, int held) {
    for (const auto& [mark, value] :
         {std::pair{std::string("DIR"), dir}, std::pair{std::string("HELD"), std::to_string(held)},
          std::pair{std::string("TESTPID"), std::to_string(::getpid())},
          std::pair{std::string("UDPPORT"), std::to_string(freeUdpPort())}}) {
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
            text.replace(at, mark.size(), value);
            at += value.size();
        }
    }
    if (text == "SOURCE") {
        return uniqueSource().setting();
    }
    if (text == "PORT" || text == "WEBPORT") {
        return text == "PORT" ? "port=" + std::to_string(freeUdpPort())
                              : "webport=" + std::to_string(freeTcpPort());
    }
    return text;
}

class FailedStartup : public ::testing::TestWithParam<FailedStart> {};

// Guards against a bad setting being ignored or guessed at (serving on the wrong network, in
// the clear, or on a port another server holds), against a fault line that does not name the
// cause or shows a secret, and against the server hanging on its way out (stdin is /dev/null,
// so a fatal error must not wait for Enter).
TEST_P(FailedStartup, SaysWhy) {
    const FailedStart& start = GetParam();
    const Socket holder(SOCK_DGRAM);
    ASSERT_TRUE(holder.bindLoopback());
    const ServerInstance server;
    const std::string dir = server.dir().string();
    if (!start.ini.empty()) {
        server.writeIni(start.ini);
    }
    std::vector<std::string> settings;
    for (const std::string& setting : start.settings) {
        settings.push_back(expanded(setting, dir, holder.localPort()));
    }
    const ToolRun run = server.runToExit(settings, 8s);
    EXPECT_EQ(run.status, start.status) << run.output;
    for (const std::string& line : start.said) {
        EXPECT_TRUE(contains(run.output, expanded(line, dir, holder.localPort()))) << line << "\n"
                                                                                   << run.output;
    }
    for (const std::string& line : start.unsaid) {
        EXPECT_FALSE(contains(run.output, line)) << line << "\n" << run.output;
    }
}

const std::string kSource = "source=udp://239.1.1.1:5000";
// Every secret holds "Zk9", which no fault line may show.
const std::string kFaultyUsers = "alice:alice-Zk9-secret\n# bob:\nbob:Zk9-sh\n";
const std::string kUsage = "no source: give source=... and port=... as arguments, or put them "
                           "in DIR/server.ini  main  ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Settings, FailedStartup, ::testing::Values(
    FailedStart{"NoFileAndNoArguments", {}, 254,
        {"Vandra Server  main  ", "\nBUILD DATE: ", "fail open: DIR/server.ini  configreader  ",
         "\nfail get multicast  main  "}, {"port:"}},
    FailedStart{"FileBesideTheExecutableIsRead", {}, 255,
        {"[config] source udp://239.1.1.1:5000  configreader  ", "\nport:  main  ",
         "\nfail parse input params  main  "}, {}, "[config]\nsource = udp://239.1.1.1:5000\n"},
    FailedStart{"ArgumentsReplaceTheFileEntirely", {"nonsense"}, 254,
        {kUsage, "fail get multicast"}, {"[config]", "fail open"},
        "source=udp://239.1.1.1:5000\nport=9000\n"},
    // With the key meant missing, each typing error would leave that access control out.
    FailedStart{"MisspeltAccessSettings",
        {"SOURCE", "PORT", "WEBPORT", "user=users", "alow=10.0.0.0/8", "webuath=webauth",
         "maxcaller=3", "webnc=127.0.0.1"}, 255,
        {"ERROR: setting user looks like a misspelt users: not starting without it  main",
         "ERROR: setting alow looks like a misspelt allow: not starting",
         "ERROR: setting webuath looks like a misspelt webauth: not starting",
         "ERROR: setting maxcaller looks like a misspelt maxcallers: not starting",
         "ERROR: setting webnc looks like a misspelt webnic: not starting"}, {"-- used iface"}},
    // A line without '=' is named by its number only (it may be a secret); a value keeps its
    // " #", and the log says why.
    FailedStart{"IniLinesThatLookLikePairs", {}, 255,
        {"-- line 3 of server.ini has no '=': skipped  configreader",
         "-- line 4 of server.ini has no '=': skipped",
         "[config] users viewers   # the viewers  configreader",
         "-- line 5 of server.ini: the value of users holds ' #', taken as part of it",
         "fail parse input params"}, {"line 1 of", "line 2 of", "line 6 of", "Zk9"},
        "[config]\nsource = udp://239.1.1.1:5000\nmaxcallers 5\npassphrase Zk9-long-secret\n"
        "users = viewers   # the viewers\n# port 9000\n"},
    FailedStart{"MisspeltPassphrase",
        {kSource, "port=9000", "passhprase=correct-horse-42", "colour=red"}, 255,
        {"-- unknown setting passhprase (did you mean passphrase?): ignored  main",
         "-- unknown setting colour (did you mean ", "looks like a misspelt passphrase",
         "[config] passhprase ********  configreader"}, {"correct-horse-42"}},
    FailedStart{"NegativeLatencyAndTheSecretHidden",
        {kSource, "port=9000", "passphrase=correct-horse-42", "latency=-5"}, 255,
        {"[config] passphrase ********  configreader",
         "ERROR: setting latency must not be negative: -5"}, {"correct-horse-42"}},
    FailedStart{"SourceWithoutPort", {"source=udp://239.1.1.1", "port=9000"}, 254,
        {"-- fail parseSrtUrl size 1  utils  "}},
    FailedStart{"SourcePortNotANumber", {"source=udp://239.1.1.1:50a0", "port=9000"}, 254,
        {"-- fail parseSrtUrl isNumber 50a0  utils  "}},
    FailedStart{"SsmSourceThatIsNotAnAddress",
        {"source=udp://10.0.0.256@232.1.1.1:5000", "port=9000"}, 254,
        {"ERROR: the source before '@' is not an IPv4 host address: 10.0.0.256  utils  ",
         "fail get multicast"}},
    FailedStart{"SrtPortWithLetters", {kSource, "port=9000x"}, 255,
        {"port:9000x  main  ", "fail parse input params"}},
    FailedStart{"SrtPortBeyond32Bits", {kSource, "port=99999999999"}, 255,
        {"ERROR: setting port is not a 32-bit number: 99999999999"}},
    // "80a" falls back to 8080; the bad latency then stops the start before anything binds.
    FailedStart{"WebPortAndLatencyWithLetters", {kSource, "port=9000", "webport=80a", "latency=abc"},
        255, {"\nwebport:8080 0  main  ", "ERROR: setting latency is not a 32-bit number: abc"}},
    FailedStart{"WebPortBeyond32Bits", {kSource, "port=9000", "webport=4294967296"}, 255,
        {"webport:4294967296 1  main  ",
         "ERROR: setting webport is not a 32-bit number: 4294967296"}},
    FailedStart{"LatencyBeyond32Bits", {kSource, "port=9000", "latency=3000000000"}, 255,
        {"ERROR: setting latency is not a 32-bit number"}},
    FailedStart{"InterfaceThatIsNotAnAddress",
        {"source=udp://239.255.0.1:UDPPORT(notanip)", "PORT", "WEBPORT"}, 255,
        {"ERROR: interface is not an IPv4 address: notanip"}},
    FailedStart{"GroupThatIsNotMulticast",
        {"source=udp://127.0.0.1:UDPPORT(127.0.0.1)", "PORT", "WEBPORT"}, 255,
        {"ERROR: setsockopt IP_ADD_MEMBERSHIP failed: "}},
    // 192.0.2.1 (TEST-NET-1) is surely no address of this host; nothing is sent to it.
    FailedStart{"JoinOnAForeignInterface",
        {"source=udp://239.255.0.1:UDPPORT(192.0.2.1)", "PORT", "WEBPORT"}, 255,
        {"ERROR: interface 192.0.2.1 is not an address of this host (local addresses: ",
         "127.0.0.1"}, {"IP_ADD_MEMBERSHIP"}},
    // The holder here is this test's own socket: named by process id.
    FailedStart{"SrtPortInUse", {"SOURCE", "port=HELD", "WEBPORT"}, 255,
        {"srt_bind: ", "ERROR: cannot listen on 0.0.0.0:HELD: UDP port HELD is in use by ",
         " (pid TESTPID)  utils  ", "start right server to HELD sock:0",
         "The server is already running on this port. Please, close previous or change port in "
         "ini file !!!"}, {"-- used iface"}},
    FailedStart{"SrtNicThatIsNotAnAddress", {"SOURCE", "PORT", "WEBPORT", "srt_nic=not.an.ip"},
        255, {"--fail init_pton FAILED", "The server is already running on this port."}},
    FailedStart{"SrtNicThatIsNotLocal", {"SOURCE", "PORT", "WEBPORT", "srt_nic=192.0.2.1"}, 255,
        {"ERROR: cannot listen on 192.0.2.1:", ": srt_nic 192.0.2.1 is not an address of this host",
         "The server is already running on this port."}, {"is in use", "-- used iface"}},
    // SRT refuses a short passphrase silently: serving anyway would leave the stream open.
    FailedStart{"PassphraseTooShortForSrt", {"SOURCE", "PORT", "WEBPORT", "passphrase=short"}, 255,
        {"-- failed to set option SRTO_PASSPHRASE", "-- passphrase refused by SRT"},
        {"-- used iface"}},
    // Only a lone exact option counts: everything else is settings.
    FailedStart{"HelpWithASetting", {"--help", "port=9000"}, 254, {"fail get multicast"}, {"Usage:"}},
    FailedStart{"VersionAfterASetting", {"port=9000", "--version"}, 254, {"fail get multicast"},
        {"Usage:"}},
    FailedStart{"HelpInCapitals", {"--HELP"}, 254, {"fail get multicast"}, {"Usage:"}},
    FailedStart{"HelpWithOneDash", {"-help"}, 254, {"fail get multicast"}, {"Usage:"}},
    FailedStart{"VersionWithAValue", {"--version=1"}, 254, {"fail get multicast"}, {"Usage:"}},
    // A mistyped access setting must not leave the server more open than the operator meant.
    // How each value is read is the unit tests' part; here each setting once, through a start.
    FailedStart{"MaxCallersZero", {"SOURCE", "PORT", "WEBPORT", "maxcallers=0"}, 255,
        {"ERROR: setting maxcallers is not a positive number: \"0\""}, {"-- used iface"}},
    FailedStart{"AllowWithHostBits", {"SOURCE", "PORT", "WEBPORT", "allow=10.1.0.0/8"}, 255,
        {"ERROR: setting allow: 10.1.0.0/8 has bits set beyond its prefix; the network is "
         "10.0.0.0/8"}, {"-- used iface"}},
    FailedStart{"UsersFileMissing", {"SOURCE", "PORT", "WEBPORT", "users=no_such_users"}, 255,
        {"ERROR: setting users: cannot read DIR/no_such_users: No such file or directory"},
        {"-- used iface"}},
    FailedStart{"MaxBacklogZero", {"SOURCE", "PORT", "WEBPORT", "maxbacklog=0"}, 255,
        {"ERROR: setting maxbacklog"}, {"-- used iface"}},
    FailedStart{"MaxBacklogWords", {"SOURCE", "PORT", "WEBPORT", "maxbacklog=lots"}, 255,
        {"ERROR: setting maxbacklog"}, {"-- used iface"}},
    FailedStart{"CatchupsZero", {"SOURCE", "PORT", "WEBPORT", "faststart_catchups=0"}, 255,
        {"ERROR: setting faststart_catchups"}, {"-- used iface"}},
    FailedStart{"SrtThreadsBeyondTheCap", {"SOURCE", "PORT", "WEBPORT", "srt_threads=65"}, 255,
        {"ERROR: setting srt_threads must be at most 64"}, {"-- used iface"}},
    FailedStart{"WebnicThatIsNotAnAddress", {"SOURCE", "PORT", "WEBPORT", "webnic=localhost"}, 255,
        {"ERROR: setting webnic is not an IPv4 address: \"localhost\""}, {"-- used iface"}},
    // The users files are written as server.ini, which the arguments leave unread. Every
    // faulty line is named in one start, not only the first.
    FailedStart{"UsersWithThreeFaultyLines",
        {"SOURCE", "PORT", "WEBPORT", "users=DIR/server.ini"}, 255,
        {"ERROR: setting users: DIR/server.ini, line 3: the secret of bob must be 10 to 79 "
         "characters", "ERROR: setting users: DIR/server.ini, line 4: no ':' between name",
         "ERROR: setting users: DIR/server.ini, line 5: the name alice is there twice"},
        {"-- used iface", "Zk9", "line 1:", "line 2:"},
        kFaultyUsers + "carol Zk9-carol-secret\nalice:alice-Zk9-other\n"},
    FailedStart{"WebauthWithAShortPassword",
        {"SOURCE", "PORT", "WEBPORT", "webauth=DIR/server.ini"}, 255,
        {"ERROR: setting webauth: DIR/server.ini, line 3: the secret of bob must be 8 to 256 "
         "characters"}, {"-- used iface", "Zk9"}, kFaultyUsers}),
    [](const ::testing::TestParamInfo<FailedStart>& param) { return param.param.name; });
// clang-format on

// Guards against a second server on a taken SRT port being told only "already running": the
// reason (and who holds the port) comes first.
TEST(Startup, SrtPortHeldByAnotherServerNamesIt) {
    ServerFixture first;
    ASSERT_TRUE(first.waitForLog("-- used iface for MULTICAST GROUP", 10s)) << first.log();
    const ServerInstance second;
    const ToolRun run =
        second.runToExit({uniqueSource().setting(), "port=" + std::to_string(first.srtPort),
                          "webport=" + std::to_string(freeTcpPort())},
                         8s);
    EXPECT_EQ(run.status, 255) << run.output;
    const std::string reason = "ERROR: cannot listen on 0.0.0.0:" + std::to_string(first.srtPort) +
                               ": UDP port " + std::to_string(first.srtPort) +
                               " is in use by vandra-server (pid " +
                               std::to_string(first.process->pid()) + ")";
    const size_t said = run.output.find(reason);
    EXPECT_NE(said, std::string::npos) << run.output;
    EXPECT_LT(said, run.output.find("The server is already running on this port.")) << run.output;
    EXPECT_EQ(first.process->stop(), kSigterm);
}

// Guards against a users file that every user of the machine may read being taken without a
// word, and against the warning for a file kept private.
TEST(Startup, UsersFileReadableByOthersIsWarnedOf) {
    const ServerInstance server;
    const std::filesystem::path users = server.dir() / "users";
    std::ofstream(users) << "alice:alice-secret-1\nbob:short\n";
    const std::vector<std::string> settings{uniqueSource().setting(),
                                            "port=" + std::to_string(freeUdpPort()),
                                            "users=" + users.string()};
    const std::string warning = "-- setting users: " + users.string() +
                                " has mode 0604, so every user of this machine may read";
    std::filesystem::permissions(users, std::filesystem::perms(0604));
    const ToolRun open = server.runToExit(settings);
    EXPECT_EQ(open.status, 255) << open.output;
    EXPECT_TRUE(contains(open.output, warning)) << open.output;
    std::filesystem::permissions(users, std::filesystem::perms(0640));
    const ToolRun kept = server.runToExit(settings); // the log holds both runs
    EXPECT_EQ(kept.status, 255) << kept.output;
    EXPECT_EQ(kept.output.find(" has mode "), kept.output.rfind(" has mode ")) << kept.output;
}

// Guards against a start whose steps run out of order or that ends by itself, and against a
// value the server takes but changes (units, a yes, ports above 16 bits) being changed silently.
TEST(Startup, NormalStartLogsInOrderSaysChangedValuesAndEndsOnlyFromOutside) {
    const int srtPort = freeUdpPort();
    const int webPort = freeTcpPort();
    const std::string bigSrt = std::to_string(srtPort + 65536);
    const std::string bigWeb = std::to_string(webPort + 65536);
    ServerFixture server(
        {"latency=300ms", "dump=yes", "port=" + bigSrt, "webport=" + bigWeb, "colour=red"});
    // The last of the lines below: the receiver writes it once the SRT side is up.
    ASSERT_TRUE(server.waitForLog("-- used iface: 127.0.0.1", 10s)) << server.log();
    const std::string log = server.log();
    size_t at = 0;
    for (const std::string& line : std::vector<std::string>{
             "Vandra Server", "port:" + bigSrt, "webport:" + bigWeb,
             "web folder: ", "latency 300  utils", "ttype LIVE mode",
             "start right server to " + bigSrt + " sock:", "before recv [buffer] to ",
             "-- used iface: 127.0.0.1"}) {
        const size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << log;
        at = found;
    }
    for (const std::string& line : std::vector<std::string>{
             "-- port " + bigSrt + " is above 65535: listening on " + std::to_string(srtPort) +
                 ", its low 16 bits",
             "-- webport " + bigWeb + " is above 65535: listening on " + std::to_string(webPort) +
                 ", its low 16 bits",
             "-- latency 300ms read as 300  main", "-- dump=yes is not true or 1: not recording",
             "-- unknown setting colour (did you mean "}) {
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
    }
    // The default backlog budget: a quarter of the memory, at least 256 MB.
    std::smatch budget;
    ASSERT_TRUE(std::regex_search(log, budget, std::regex("hold at most (\\d+) MB together")));
    EXPECT_GE(std::stoll(budget[1].str()), 256);
    EXPECT_EQ(
        runTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 1, 1), server.dir(), 20s)
            .number("connected"),
        1u);
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

// Guards against --help starting a server, --version starting one even with a usable ini, or
// leaving a setting or its default out of the usage.
TEST(CommandLine, HelpListsEverySettingWithItsDefaultAndVersionOnlyTheVersion) {
    ServerInstance server;
    const std::vector<std::pair<std::string, std::string>> defaults{
        {"source", "required"},    {"port", "required"},
        {"webport", "8080"},       {"srt_nic", "all interfaces"},
        {"streamid", "none"},      {"passphrase", "none"},
        {"latency", "500"},        {"dump", "false"},
        {"input_timeout", "2000"}, {"faststart", "false"}};
    for (const char* option : {"--help", "-h"}) {
        const ToolRun run = server.runToExit({option});
        EXPECT_EQ(run.status, 0) << option;
        EXPECT_EQ(run.output.rfind("Usage: vandra-server ", 0), 0u) << run.output;
        EXPECT_FALSE(contains(run.output, "Vandra Server")) << run.output;
        for (const auto& [key, value] : defaults) {
            // The line "  KEY   DEFAULT   meaning".
            EXPECT_TRUE(
                std::regex_search(run.output, std::regex("\n  " + key + " +" + value + " ")))
                << key << "\n"
                << run.output;
        }
    }
    const ServerInstance withIni; // each run of an instance appends to the same log
    withIni.writeIni("source=udp://239.1.1.1:5000\nport=9000\n");
    const ToolRun version = withIni.runToExit({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "vandra-server " VANDRA_VERSION "\n");
}

} // namespace
} // namespace vandra::e2e
