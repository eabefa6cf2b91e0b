#include <algorithm>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "netnamespace.h"

// Callers behind imperfect links, and servers that share one multicast network. Figures go to
// lines starting with "[figures]".
namespace vandra::e2e {
namespace {

struct LinkImpairment {
    std::string name;
    std::vector<std::string> proxyArgs;
};

// Guards: losses SRT could repair reaching the callers, or a link fault that makes the server
// give up on a caller.
TEST(ReliabilityLossyLinks, CallersBehindLossAndDelayReceiveEveryPacket) {
    ServerFixture server({"latency=500"});
    auto publisher = server.startPublisher({"--bitrate", "4000000"});

    // Each within SRT's rule of thumb for a 500 ms latency (3 to 6 round trips at these loss
    // rates); the delay applies each way, so the round trip is twice it.
    const std::vector<LinkImpairment> links{
        {"1% loss, 40±10 ms", {"--loss", "1", "--delay-ms", "40", "--jitter-ms", "10"}},
        {"5% loss, 20±10 ms", {"--loss", "5", "--delay-ms", "20", "--jitter-ms", "10"}},
        {"2% loss, 30±15 ms reordering",
         {"--loss", "2", "--delay-ms", "30", "--jitter-ms", "15", "--reorder"}},
    };
    constexpr int kSeconds = 8;
    std::vector<std::unique_ptr<Process>> proxies;
    std::vector<std::unique_ptr<Process>> callers;
    for (size_t i = 0; i < links.size(); ++i) {
        const int proxyPort = freeUdpPort();
        std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(proxyPort),
                                      "--target", "127.0.0.1:" + std::to_string(server.srtPort),
                                      "--seed",   std::to_string(11 + i)};
        args.insert(args.end(), links[i].proxyArgs.begin(), links[i].proxyArgs.end());
        proxies.push_back(startTool("vandra-lossyproxy", args, server.dir()));
        // A handshake sent before the proxy listens is repeated by SRT until the time-out.
        callers.push_back(startTool(
            "vandra-loadclient",
            callerArgs("127.0.0.1", proxyPort, 2, kSeconds, {"--connect-timeout", "5000"}),
            server.dir()));
    }
    for (size_t i = 0; i < links.size(); ++i) {
        const ToolRun caller = finish(*callers[i], 30s);
        proxies[i]->stop();
        expectLossless(caller, 2, links[i].name);
        // 4 Mbit/s is 2660 packets a second; the first and last moments go to connecting and
        // to the latency still held in the receiver.
        EXPECT_GT(caller.number("packets").value_or(0), 2u * (kSeconds - 2) * 2660) << caller.json;
        // The link really lost packets and SRT repaired them.
        EXPECT_GT(caller.number("rcv_retrans").value_or(0), 0u) << caller.json;
        figure("lossy " + links[i].name + ": caller " + caller.json);
    }
    EXPECT_TRUE(server.process->running());
}

// Guards: a server that cannot share its multicast network with others (joins on the wrong
// interface, or takes what is meant for another), seen as edges serving different streams.
TEST(ReliabilityScaleOut, ThreeServersFedByOneMulticastNetworkServeTheSameStream) {
    if (!haveNamespaces()) {
        GTEST_SKIP() << "needs root, iproute2 and tc for network namespaces";
    }
    ScratchDir scratch("vandra_rel_");
    const auto edgeNs = makeNamespaces({"e1", "e2", "e3"}, scratch.path());
    const auto hubNs = makeNamespaces({"br", "pub"}, scratch.path());
    ASSERT_FALSE(HasFailure());
    const NetNamespace& bridgeNs = *hubNs[0];
    const NetNamespace& publisherNs = *hubNs[1];

    // One switch (a bridge that floods multicast) and a port for each host.
    std::vector<std::vector<std::string>> commands{
        bridgeNs.ip({"link", "add", "br0", "type", "bridge", "mcast_snooping", "0"}),
        bridgeNs.ip({"link", "set", "br0", "up"}),
    };
    auto attach = [&](const NetNamespace& host, const std::string& port,
                      const std::string& address) {
        for (auto& command : vethCommands(host, "v0", address, bridgeNs, port, "")) {
            commands.push_back(std::move(command));
        }
        commands.push_back(bridgeNs.ip({"link", "set", port, "master", "br0"}));
    };
    attach(publisherNs, "p0", "10.77.0.1/24");
    for (size_t i = 0; i < edgeNs.size(); ++i) {
        attach(*edgeNs[i], "p" + std::to_string(i + 1),
               "10.77.0." + std::to_string(11 + i) + "/24");
    }
    ASSERT_EQ(runAll(commands, scratch.path()), "");

    std::vector<std::unique_ptr<NamespacedServer>> servers;
    for (size_t i = 0; i < edgeNs.size(); ++i) {
        servers.push_back(std::make_unique<NamespacedServer>(
            *edgeNs[i], "239.255.50.1", "10.77.0." + std::to_string(11 + i),
            std::vector<std::string>{"latency=500"}));
        ASSERT_FALSE(HasFailure());
    }
    auto publisher =
        startTool("vandra-publisher",
                  publisherArgs("239.255.50.1", 5000, {"--bitrate", "4000000"}, "10.77.0.1"),
                  scratch.path(), publisherNs.wrap());

    std::vector<std::unique_ptr<Process>> callers;
    for (const auto& ns : edgeNs) {
        callers.push_back(startTool("vandra-loadclient", callerArgs("127.0.0.1", 9000, 2, 5),
                                    scratch.path(), ns->wrap()));
    }
    std::vector<ToolRun> runs;
    for (size_t i = 0; i < callers.size(); ++i) {
        runs.push_back(finish(*callers[i], 30s));
        expectLossless(runs.back(), 2, "edge " + std::to_string(i + 1));
    }
    // Same sequence numbers everywhere: each window is gap-free, and all of them overlap in
    // all but the start-up moments.
    std::uint64_t latestFirst = 0;
    std::uint64_t earliestLast = UINT64_MAX;
    for (const ToolRun& run : runs) {
        latestFirst = std::max(latestFirst, run.number("first_seq").value_or(UINT64_MAX));
        earliestLast = std::min(earliestLast, run.number("last_seq").value_or(0));
    }
    ASSERT_LT(latestFirst, earliestLast);
    const std::uint64_t shared = earliestLast - latestFirst + 1;
    for (const ToolRun& run : runs) {
        const std::uint64_t own =
            run.number("last_seq").value_or(0) - run.number("first_seq").value_or(0) + 1;
        EXPECT_GE(shared * 10, own * 8) << "windows barely overlap: " << run.json;
    }
    for (const auto& server : servers) {
        EXPECT_EQ(server->process->stop(), kSigterm);
    }
}

} // namespace
} // namespace vandra::e2e
