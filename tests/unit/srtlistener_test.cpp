#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "core/logger.h"
#include "core/processexit.h"
#include "freeport.h"
#include "logcapture.h"
#include "platform/platform.h"
#include "platform/udpsocket.h"
#include "srt/rightserver.h"
#include "srt/srtlistener.h"
#include "tsbuilder.h"

namespace vandra {
namespace {

class SrtListener : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_GE(srt_startup(), 0); }
    static void TearDownTestSuite() { srt_cleanup(); }

    SrtListenParams params(const std::string& passphrase = "") const {
        SrtListenParams p;
        p.srt_nic = "127.0.0.1";
        p.port = port_;
        p.latency = 120;
        p.passphrase = passphrase;
        return p;
    }

    const int port_ = test::freePort(SOCK_DGRAM);
    LogCapture log_;
};

// Guards against a set-up that fails after the bind keeping its socket open. libsrt numbers
// new sockets downwards, which shows the id each attempt used.
TEST_F(SrtListener, FailedSetUpClosesItsSocket) {
    const std::int32_t listener = createSrtListener(params(), true);
    ASSERT_GT(listener, 0) << log_.text();
    EXPECT_EQ(srt_getsockstate(listener), SRTS_LISTENING);
    srt_close(listener);
    EXPECT_EQ(createSrtListener(params("short"), true), 0);
    EXPECT_EQ(log_.count("-- failed to set option SRTO_PASSPHRASE"), 1) << log_.text();
    const SRTSOCKET attempted = listener - 1;
    const SRTSOCKET next = srt_create_socket();
    ASSERT_EQ(next, attempted - 1) << "libsrt no longer numbers sockets downwards";
    srt_close(next);
    const SRT_SOCKSTATUS state = srt_getsockstate(attempted);
    EXPECT_TRUE(state == SRTS_CLOSED || state == SRTS_NONEXIST) << state;
}

// Guards against listeners of a group not all listening, a second group joining the port, and the
// UDP sockets handed to libsrt being left open once it closes them.
TEST_F(SrtListener, GroupHoldsThePortAloneAndClosesItsSockets) {
    const std::vector<std::int32_t> group = createSrtListenerGroup(params(), 3, nullptr);
    ASSERT_EQ(group.size(), 3u) << log_.text();
    for (const std::int32_t listener : group) {
        EXPECT_EQ(srt_getsockstate(listener), SRTS_LISTENING);
    }
    std::uint32_t loopback = 0;
    ASSERT_TRUE(platform::parseIpv4("127.0.0.1", loopback));
    const auto port = static_cast<std::uint16_t>(port_);
    EXPECT_EQ(platform::udpSocketsOnPort(loopback, port), 3u);
    EXPECT_TRUE(createSrtListenerGroup(params(), 2, nullptr).empty());
    EXPECT_EQ(log_.count(": UDP port " + std::to_string(port_) + " is in use"), 1) << log_.text();
    EXPECT_EQ(platform::udpSocketsOnPort(loopback, port), 3u);
    for (const std::int32_t listener : group) {
        srt_close(listener);
    }
    // libsrt closes a multiplexer's socket on its own thread, seconds after the last close.
    for (int i = 0; i < 400 && platform::udpSocketsOnPort(loopback, port) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(platform::udpSocketsOnPort(loopback, port), 0u);
}

// Guards against the accept failure leaving the recording unclosed, or hanging in libsrt's
// static teardown while another accept thread waits.
TEST_F(SrtListener, AcceptFailureClosesTheRecordingAndExitsWithMinusFour) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (std::freopen("/dev/null", "r", stdin) == nullptr) {
                std::_Exit(1);
            }
            setLogSink([](const std::string& line) { std::fputs(line.c_str(), stderr); });
            setExitCleanup([] { std::fputs("recording closed\n", stderr); });
            RightServer waiting; // an accept thread waiting in srt_accept, as in the server
            if (!waiting.start(params())) {
                std::_Exit(1);
            }
            RightServer failing;
            failing.acceptLoop(SRT_INVALID_SOCK);
        },
        ::testing::ExitedWithCode(252), "fail accept - invalid socket.*recording closed");
}

// Guards a caller's buffer being published, and with fast start filled from the cache, before
// its socket was set up: a socket libsrt refuses must end the caller with nothing published.
TEST_F(SrtListener, ACallerWhoseSocketCannotBeSetUpGetsNoBuffer) {
    RightServer registry;
    registry.enableFastStart();
    test::StreamWriter writer;
    writer.table(0, test::patSection({{1, 0x1000}}));
    writer.table(0x1000, test::pmtSection(1, {{0x1B, 0x100}}));
    writer.padChunk();
    writer.packet(0x100, test::pes({0, 0, 1, 0x09, 0xF0}),
                  {.unitStart = true, .randomAccess = true});
    writer.padChunk();
    for (std::size_t chunk = 0; chunk < writer.chunks(); ++chunk) {
        registry.broadcast(writer.chunk(chunk), kChunkSize);
    }
    const SRTSOCKET gone = srt_create_socket();
    ASSERT_NE(gone, SRT_INVALID_SOCK);
    ASSERT_EQ(srt_close(gone), 0);

    std::unique_ptr<ClientHandler> caller = registry.makeClient();
    caller->start(gone);
    for (int polls = 0; caller->isActive() && polls < 1000; ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(caller->isActive());
    EXPECT_EQ(caller->endReason(), EndReason::SendError);
    EXPECT_EQ(caller->faststartChunks(), 0);
    EXPECT_EQ(log_.count("-- cannot make the caller's socket non-blocking"), 1) << log_.text();
    EXPECT_EQ(log_.count("starts from the fast-start cache"), 0) << log_.text();
}

} // namespace
} // namespace vandra
