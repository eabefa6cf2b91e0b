#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>

#include <gtest/gtest.h>

#include "logcapture.h"
#include "srt/departedcallers.h"
#include "srt/handshakemonitor.h"

namespace vandra {
namespace {

DepartedCaller leftAt(std::int32_t id, std::int64_t endedMs, EndReason reason) {
    DepartedCaller caller;
    caller.id = id;
    caller.endedMs = endedMs;
    caller.reason = reason;
    return caller;
}

// Guards: an unbounded list, callers kept past ten minutes, oldest first, totals that forget
// the callers pushed out of the list.
TEST(DepartedCallers, KeepsTheNewestFiftyOfTheLastTenMinutesAndCountsEveryone) {
    constexpr std::int64_t kNow = 1'000'000'000;
    DepartedCallers departed;
    // Removed in one pass in accept order, though they ended the other way round.
    departed.add(leftAt(1, kNow - 20, EndReason::Closed));
    departed.add(leftAt(2, kNow - 30, EndReason::Lost));
    std::vector<DepartedCaller> recent = departed.recent(kNow);
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0].id, 1);
    EXPECT_EQ(recent[1].id, 2);
    // Caller 2 is more than ten minutes gone, caller 1 just not; then both are.
    EXPECT_EQ(departed.recent(kNow - 20 + DepartedCallers::kKeptMs).size(), 1u);
    EXPECT_EQ(departed.recent(kNow - 19 + DepartedCallers::kKeptMs).size(), 0u);

    for (std::int32_t id = 100; id < 160; ++id) {
        departed.add(leftAt(id, kNow + id, EndReason::FellBehind));
    }
    recent = departed.recent(kNow + 200);
    ASSERT_EQ(recent.size(), DepartedCallers::kKept);
    EXPECT_EQ(recent.front().id, 159);
    EXPECT_EQ(recent.back().id, 110);
    EXPECT_EQ(departed.total(EndReason::Closed), 1u);
    EXPECT_EQ(departed.total(EndReason::Lost), 1u);
    EXPECT_EQ(departed.total(EndReason::FellBehind), 60u);
    EXPECT_EQ(departed.total(EndReason::SendError), 0u);
}

sockaddr_in peer(const char* address, int port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &in.sin_addr);
    return in;
}

std::string rejection(int socket, const std::string& why) {
    return "@" + std::to_string(socket) +
           ":newConnection: connection rejected due to: INTERNAL REJECTION - ERROR:" + why;
}

// Guards: refusals counted under the wrong reason, counted only when logged (the log is
// rate-limited per address), or counted for requests that were never seen.
TEST(HandshakeCounts, RefusalsAreCountedByReasonEvenWhenTheLogIsQuiet) {
    LogCapture log;
    HandshakeMonitor monitor;
    const sockaddr_in from = peer("127.0.0.1", 5000);
    const auto* address = reinterpret_cast<const sockaddr*>(&from);
    for (int socket = 1; socket <= 3; ++socket) {
        monitor.onRequest(socket, address, 100);
        monitor.onLibraryMessage(1, rejection(socket, socket == 3 ? "UNSECURE" : "BADSECRET"), 100);
    }
    monitor.onRequest(4, address, 100);
    monitor.onLibraryMessage(1, rejection(4, "VERSION"), 100);
    monitor.onLibraryMessage(1, rejection(77, "BADSECRET"), 100); // never requested
    monitor.onRequest(5, address, 100);
    monitor.onRequest(6, address, 100);
    monitor.onAccepted(6);
    monitor.expire(100 + 4999);
    EXPECT_EQ(monitor.refused(RefusalReason::Handshake), 1u);
    monitor.expire(100 + 5000);

    EXPECT_EQ(monitor.refused(RefusalReason::Passphrase), 3u);
    EXPECT_EQ(monitor.refused(RefusalReason::Handshake), 2u);
    EXPECT_EQ(monitor.accepted(), 1u);
    EXPECT_EQ(log.count(" not connected: "), 1) << log.text();

    // The access policy's refusals, including those of requests never watched, and a wrong
    // user passphrase counted as a user refusal.
    HandshakeMonitor policy;
    const sockaddr_in other = peer("127.0.0.9", 0);
    const auto* otherAddress = reinterpret_cast<const sockaddr*>(&other);
    for (int socket = 1; socket <= 3; ++socket) {
        policy.onRequest(socket, otherAddress, 100 * socket);
        policy.onRefused(socket, RefusalReason::Limit, "caller limit of 2 reached", 100 * socket);
    }
    policy.onRefused(99, RefusalReason::Address, "address not allowed", 400);
    policy.onRequest(10, otherAddress, 500, "alice");
    policy.onRequest(11, otherAddress, 500);
    EXPECT_EQ(policy.pendingCount(), 2u);
    policy.onLibraryMessage(4, "@10:newConnection: connection rejected due to: ERROR:BADSECRET",
                            600);
    policy.onAccepted(11);
    EXPECT_EQ(policy.pendingCount(), 0u);
    EXPECT_EQ(policy.refused(RefusalReason::Limit), 3u);
    EXPECT_EQ(policy.refused(RefusalReason::Address), 1u);
    EXPECT_EQ(policy.refused(RefusalReason::User), 1u);
    EXPECT_EQ(policy.refused(RefusalReason::Passphrase), 0u);
    EXPECT_EQ(log.count(" not connected: "), 2) << log.text();
    EXPECT_EQ(log.count("-- caller 127.0.0.9:0 not connected: caller limit of 2 reached (0 "), 1)
        << log.text();
}

} // namespace
} // namespace vandra
