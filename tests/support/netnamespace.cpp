#include "netnamespace.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace vandra::e2e {

namespace {
namespace fs = std::filesystem;

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kTc = "/usr/sbin/tc";

// Runs one command to its end (15 s at most); its output starts with the command line.
ToolRun runCommand(const std::vector<std::string>& argv, const fs::path& logDir) {
    static int counter = 0;
    ToolRun run =
        finish(*Process::start(argv, logDir, logDir / ("cmd_" + std::to_string(counter++))), 15s);
    std::string command;
    for (const auto& arg : argv) {
        command += arg + " ";
    }
    run.output = command + "-> " + run.output;
    return run;
}
} // namespace

bool haveNamespaces() {
    return ::geteuid() == 0 && fs::exists(kIp) && fs::exists(kTc);
}

std::string runAll(const std::vector<std::vector<std::string>>& commands, const fs::path& logDir) {
    for (const auto& argv : commands) {
        const ToolRun result = runCommand(argv, logDir);
        if (result.status != 0) {
            return result.output;
        }
    }
    return "";
}

NetNamespace::NetNamespace(const std::string& suffix, const fs::path& logDir)
    : name_("vrel" + std::to_string(::getpid()) + suffix), logDir_(logDir) {
    runCommand({kIp, "netns", "del", name_}, logDir_); // a leftover of a killed run
    error_ = runAll({{kIp, "netns", "add", name_}, ip({"link", "set", "lo", "up"})}, logDir_);
}

NetNamespace::~NetNamespace() {
    runCommand({kIp, "netns", "del", name_}, logDir_);
}

std::vector<std::string> NetNamespace::wrap(const std::vector<std::string>& argv) const {
    return joined({kIp, "netns", "exec", name_}, argv);
}

std::vector<std::string> NetNamespace::ip(const std::vector<std::string>& args) const {
    return joined({kIp, "-n", name_}, args);
}

std::vector<std::string> NetNamespace::shape(const std::string& device,
                                             const std::string& rate) const {
    return wrap({kTc, "qdisc", "add", "dev", device, "root", "tbf", "rate", rate, "burst", "16kb",
                 "latency", "50ms"});
}

std::vector<std::vector<std::string>> vethCommands(const NetNamespace& a, const std::string& aIf,
                                                   const std::string& aAddress,
                                                   const NetNamespace& b, const std::string& bIf,
                                                   const std::string& bAddress) {
    std::vector<std::vector<std::string>> commands{
        a.ip({"link", "add", aIf, "type", "veth", "peer", "name", bIf, "netns", b.name()}),
        b.ip({"link", "set", bIf, "up"}),
        a.ip({"link", "set", aIf, "up"}),
    };
    if (!aAddress.empty()) {
        commands.push_back(a.ip({"addr", "add", aAddress, "dev", aIf}));
    }
    if (!bAddress.empty()) {
        commands.push_back(b.ip({"addr", "add", bAddress, "dev", bIf}));
    }
    return commands;
}

std::vector<std::unique_ptr<NetNamespace>> makeNamespaces(const std::vector<std::string>& suffixes,
                                                          const fs::path& logDir) {
    std::vector<std::unique_ptr<NetNamespace>> made;
    for (const auto& suffix : suffixes) {
        made.push_back(std::make_unique<NetNamespace>(suffix, logDir));
        EXPECT_TRUE(made.back()->ready()) << made.back()->error();
    }
    return made;
}

ShapedLink::ShapedLink(const std::string& name, int subnet, const std::string& rate)
    : namespaces(makeNamespaces({name + "s", name + "f"}, scratch.path())), subnet_(subnet) {
    for (const auto& ns : namespaces) {
        error += ns->error();
    }
    if (!error.empty()) {
        return;
    }
    const std::string prefix = "10.77." + std::to_string(subnet) + ".";
    auto commands =
        vethCommands(serverSide(), "v0", prefix + "1/24", farSide(), "v0", prefix + "2/24");
    commands.push_back(serverSide().shape("v0", rate));
    error = runAll(commands, scratch.path());
}

NamespacedServer::NamespacedServer(const NetNamespace& ns, const std::string& group,
                                   const std::string& iface,
                                   const std::vector<std::string>& settings,
                                   const std::vector<std::string>& environment)
    : process(instance.run(
          joined({"source=udp://" + group + ":5000(" + iface + ")", "port=9000", "webport=8080"},
                 settings),
          joined(ns.wrap({"/usr/bin/env"}), environment))) {
    EXPECT_TRUE(waitForJoin(*process, group)) << process->output();
}

} // namespace vandra::e2e
