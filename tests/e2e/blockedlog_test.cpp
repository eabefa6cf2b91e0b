#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "pagepipe.h"
#include "webclient.h"

namespace vandra::e2e {
namespace {

// The server's standard output and error, left unread until the test chooses to read it.
class UnreadPipe : public test::PagePipe {
public:
    using PagePipe::PagePipe;

    // Reads until `needle` has arrived or 10 s passed; returns what was read.
    std::string readUntil(const std::string& needle) const {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!contains(text, needle) && std::chrono::steady_clock::now() < deadline) {
            pollfd readable{fd_, POLLIN, 0};
            char buffer[4096];
            if (::poll(&readable, 1, 100) > 0) {
                const ssize_t got = ::read(fd_, buffer, sizeof(buffer));
                text.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
            }
        }
        return text;
    }
};

// Guards a log output that nobody reads (a paused terminal, a full pipe, a stuck log
// shipper) stopping the data path: the receiver, a caller's thread or the web server waiting
// for a log line to be written. The log may lose lines, but must say so once it is read again.
TEST(BlockedLog, CallersAndTheWebKeepWorkingWhileNobodyReadsTheLog) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    const int webPort = freeTcpPort();
    ServerInstance instance;
    UnreadPipe log(instance.dir() / "stdout.log"); // where the harness sends the output
    ::setenv("VANDRA_LOG_QUEUE_KB", "8", 1);       // drops after a few kilobytes, not 4 MiB
    const std::unique_ptr<Process> server =
        instance.run({source.setting(), "port=" + std::to_string(srtPort),
                      "webport=" + std::to_string(webPort)});
    ::unsetenv("VANDRA_LOG_QUEUE_KB");
    ASSERT_TRUE(waitUntil([&] { return webBody(webPort, "/hi") == "hi from server"; }, 10s));
    const auto publish = [&](const std::vector<std::string>& extra) {
        return startTool("vandra-publisher", publisherArgs(source.group, source.port, extra),
                         instance.dir());
    };
    // The group is joined once a short burst shows in the input's count.
    ASSERT_TRUE(waitUntil(
        [&] {
            finish(*publish({"--count", "20", "--bitrate", "2000000"}), 10s);
            return metricOf(webPort, "vandra_input_datagrams_total") > 0;
        },
        20s));

    // Connected before the stream starts, so it must receive every datagram of it.
    constexpr int kDatagrams = 3000; // about 8 s at 4 Mbit/s
    const std::unique_ptr<Process> stayer =
        startTool("vandra-loadclient",
                  callerArgs("127.0.0.1", srtPort, 1, 60,
                             {"--until-packets", std::to_string(7 * kDatagrams)}),
                  instance.dir());
    ASSERT_TRUE(waitUntil([&] { return metricOf(webPort, "vandra_callers") == 1; }, 10s));
    const std::unique_ptr<Process> stream = publish(
        {"--count", std::to_string(kDatagrams), "--start-seq", "100000", "--bitrate", "4000000"});

    const auto comeAndGo = [&](const std::string& who) {
        expectLossless(runTool("vandra-loadclient", callerArgs("127.0.0.1", srtPort, 20, 1),
                               instance.dir(), 30s),
                       20, who);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(webBody(webPort, "/hi"), "hi from server") << who;
        }
    };
    const auto dropped = [&] {
        return metricOf(webPort, "vandra_log_lines_dropped_total").value_or(-1);
    };
    for (int round = 0; round < 10 && dropped() <= 0; ++round) {
        comeAndGo("callers filling the log");
    }
    const double droppedBefore = dropped();
    ASSERT_GT(droppedBefore, 0) << "the log never filled";
    for (int round = 0; round < 2; ++round) {
        comeAndGo("callers while the log is blocked");
    }
    EXPECT_GT(dropped(), droppedBefore) << "the log was blocked all along";

    EXPECT_EQ(finish(*stream, 60s).status, 0);
    const ToolRun stayed = finish(*stayer, 60s);
    expectLossless(stayed, 1, "the caller that stayed");
    // The load client counts transport-stream packets, seven to a datagram.
    EXPECT_EQ(stayed.number("packets"), std::uint64_t{7 * kDatagrams}) << stayed.json;
    EXPECT_EQ(stayed.number("first_seq"), 100000u) << stayed.json;

    const std::string text = log.readUntil(" s  logger  ");
    EXPECT_TRUE(contains(text, " log lines dropped: the log output was blocked for "))
        << text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
    figure("blocked log: " + std::to_string(static_cast<long long>(dropped())) +
           " lines dropped; the caller that stayed: " + stayed.json);

    // Blocked once more, SIGTERM must still end it: the log gets a second, then it exits (with
    // kSigkill had the 5 s grace run out).
    const std::unique_ptr<Process> more = publish({"--seconds", "60", "--bitrate", "2000000"});
    const double droppedAgain = dropped();
    for (int round = 0; round < 10 && dropped() <= droppedAgain; ++round) {
        comeAndGo("callers blocking the log again");
    }
    ASSERT_GT(dropped(), droppedAgain);
    EXPECT_EQ(server->stop(5s), kSigterm);
}

} // namespace
} // namespace vandra::e2e
