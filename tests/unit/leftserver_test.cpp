#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/chunksink.h"
#include "ingest/leftserver.h"
#include "logcapture.h"
#include "tools/rtpsender.h"
#include "tools/tsframe.h"

// The receiver's data path without a socket: datagrams go in through handleDatagram at times
// the test chooses, chunks come out at a sink that checks the test stream in them.
namespace vandra {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Format = InputFormat;

// Reads every TS packet of every chunk as the test stream: numbers in order, nothing altered.
class StreamSink final : public ChunkSink {
public:
    void broadcast(const std::uint8_t* chunk, std::int32_t length) override {
        ASSERT_EQ(length, kChunkSize);
        for (std::int32_t at = 0; at < length; at += kTsPacketSize) {
            const tsframe::Verdict verdict =
                tsframe::verifyPacket(tsframe::PacketIn(chunk + at, kTsPacketSize));
            ASSERT_TRUE(verdict.ok()) << tsframe::faultName(verdict.fault);
            if (at == 0) {
                chunkStarts.push_back(verdict.seq);
            }
            sequence.observe(verdict.seq);
            ++packets;
        }
    }

    tsframe::SequenceTracker sequence;
    std::uint64_t packets = 0;
    std::vector<std::uint64_t> chunkStarts; // the number of each chunk's first packet
};

// `packets` test packets from number `first`.
Bytes testPackets(std::uint64_t first, std::size_t packets) {
    Bytes bytes(packets * kTsPacketSize);
    tsframe::fillPackets(bytes, first, 0);
    return bytes;
}

class LeftServerInput : public ::testing::Test {
protected:
    void feed(const Bytes& datagram) {
        const int length = static_cast<int>(datagram.size());
        left_.handleDatagram(datagram.data(), length, length, nowMs_);
    }
    // What a socket hands over for a datagram longer than the receive buffer.
    void feedCut(const Bytes& datagram, int fullLength) {
        left_.handleDatagram(datagram.data(), static_cast<int>(datagram.size()), fullLength,
                             nowMs_);
    }
    // One payload for the test publisher's RTP sender: seven test packets from `first`. The
    // next one comes a millisecond later.
    void sendRtp(tool::RtpSender& sender, std::uint64_t first) {
        sender.send(testPackets(first, kPacketsPerChunk), 0);
        ++nowMs_;
    }
    tool::RtpSender rtpSender(const tool::RtpOptions& options) {
        return tool::RtpSender(options,
                               [this](std::span<const std::uint8_t> datagram, std::uint64_t, bool) {
                                   feed(Bytes(datagram.begin(), datagram.end()));
                                   ++rtpSent_;
                                   return true;
                               });
    }

    LogCapture log_;
    StreamSink sink_;
    LeftServer left_{sink_};
    std::int64_t nowMs_ = 1000;
    std::uint64_t rtpSent_ = 0;
};

// Every fault the publisher can inject, with every header part it can add: the counters show
// exactly what it injected, and the chunks hold the stream in order with only the dropped
// datagrams' packets missing.
TEST_F(LeftServerInput, RtpFaultsAreCountedExactlyAndTheStreamComesOutInOrder) {
    tool::RtpOptions options;
    options.firstSequence = 65000; // the numbers wrap on the way
    options.ssrc = 7;
    options.csrcCount = 2;
    options.extensionWords = 3;
    options.padding = 9;
    options.drop = {10, 40, 41, 590};
    options.duplicate = {20, 21, 300};
    options.delay = {{30, 1}, {100, 5}, {200, 20}};
    options.ssrcChange = {400};
    constexpr std::uint64_t kDatagrams = 600;
    tool::RtpSender sender = rtpSender(options);
    for (std::uint64_t index = 0; index < kDatagrams; ++index) {
        sendRtp(sender, index * kPacketsPerChunk);
    }
    sender.flush();
    // The gap at 590 leaves what follows waiting; an idle wake releases it once it is 50 ms old.
    const RtpInput::Counters beforeIdle = left_.rtpCounters();
    EXPECT_EQ(beforeIdle.lost, 3u);
    left_.handleIdle(nowMs_ + RtpSequencer::kWindowMs);

    const tool::RtpInjected& injected = sender.injected();
    ASSERT_EQ(injected.dropped, 4u);
    ASSERT_EQ(injected.duplicated, 3u);
    ASSERT_EQ(injected.reordered, 3u);
    const RtpInput::Counters counters = left_.rtpCounters();
    EXPECT_EQ(counters.lost, injected.dropped);
    EXPECT_EQ(counters.duplicates, injected.duplicated);
    EXPECT_EQ(counters.reordered, injected.reordered);
    EXPECT_EQ(counters.restarts, injected.ssrcChanges);
    EXPECT_EQ(counters.late, 0u);
    EXPECT_EQ(counters.malformed, 0u);
    EXPECT_EQ(counters.delivered, kDatagrams - injected.dropped);

    EXPECT_EQ(left_.rtpDatagrams(), static_cast<std::int64_t>(rtpSent_));
    EXPECT_EQ(left_.tsDatagrams(), 0);
    EXPECT_EQ(left_.inputFormat(), Format::Rtp);
    EXPECT_EQ(left_.bytesReceived(),
              static_cast<std::int64_t>((kDatagrams - injected.dropped) * kChunkSize));
    EXPECT_EQ(sink_.packets, (kDatagrams - injected.dropped) * kPacketsPerChunk);
    EXPECT_EQ(sink_.sequence.first(), 0u);
    EXPECT_EQ(sink_.sequence.last(), kDatagrams * kPacketsPerChunk - 1);
    EXPECT_EQ(sink_.sequence.gaps(), injected.dropped * kPacketsPerChunk);
    EXPECT_EQ(sink_.sequence.duplicates(), 0u);
    EXPECT_EQ(log_.count("-- input format: rtp  "), 1) << log_.text();
    EXPECT_EQ(1, log_.count("-- RTP stream: ssrc 7, payload type 33, from sequence 65000, restarts "
                            "so far: 0  "))
        << log_.text();
    EXPECT_EQ(1,
              log_.count("-- RTP stream: ssrc 8, payload type 33, from sequence 65400, restarts so "
                         "far: 1  "))
        << log_.text();
    EXPECT_EQ(log_.count("-- dropped"), 0) << log_.text();
}

// Raw datagrams keep their rules; RTP ones that cannot be read, or whose payload breaks the
// same size rule, are dropped with the reason; RTCP is counted and nothing more.
TEST_F(LeftServerInput, BadDatagramsAreDroppedWithTheirReasonsRateLimited) {
    Bytes rawTooLong = testPackets(0, 8);
    rawTooLong.resize(kChunkSize + 1);
    Bytes rtpHeader{0x80, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 5};
    Bytes rtpNotWhole = rtpHeader;
    rtpNotWhole.resize(rtpHeader.size() + 100, 0x47);
    Bytes rtpTooLong = rtpHeader;
    const Bytes eight = testPackets(0, 8);
    rtpTooLong.insert(rtpTooLong.end(), eight.begin(), eight.end());
    const Bytes rtcpSenderReport{0x80, 200, 0, 6, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0,
                                 0,    0,   0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

    feed(rawTooLong);
    EXPECT_EQ(1, log_.count("-- dropped datagram of 1317 bytes (longer than 1316), dropped so far: "
                            "1  leftserver"))
        << log_.text();
    feed(rtpNotWhole);
    EXPECT_EQ(1, log_.count("-- dropped RTP datagram of 112 bytes (payload not whole TS packets), "
                            "dropped so far: 1  rtpinput"))
        << log_.text();
    feed(rtcpSenderReport);
    feed(rtcpSenderReport);
    // Within five seconds of their first lines, further drops are counted only.
    nowMs_ += 4999;
    feedCut(Bytes(RtpPacket::kMaxDatagramSize, 0x47), 9000);
    feed(rtpTooLong);
    EXPECT_EQ(log_.count("-- dropped"), 2) << log_.text();
    nowMs_ += 1;
    feed(rtpTooLong);
    feedCut(Bytes(RtpPacket::kMaxDatagramSize, 0x80), 3000);
    EXPECT_EQ(1, log_.count("-- dropped RTP datagram of 1516 bytes (payload too long), dropped so "
                            "far: 3  rtpinput"))
        << log_.text();
    EXPECT_EQ(1, log_.count("-- dropped datagram of 3000 bytes (longer than 1316), dropped so far: "
                            "3  leftserver"))
        << log_.text();
    EXPECT_EQ(log_.count("-- RTCP on the data port: counted and ignored  "), 1) << log_.text();

    const RtpInput::Counters counters = left_.rtpCounters();
    EXPECT_EQ(counters.malformed, 3u);
    EXPECT_EQ(counters.rtcp, 2u);
    EXPECT_EQ(counters.delivered, 0u);
    EXPECT_EQ(left_.oversizeDropped(), 3);
    EXPECT_EQ(left_.tsDatagrams(), 2);
    EXPECT_EQ(left_.rtpDatagrams(), 6);
    EXPECT_EQ(left_.datagramsReceived(), 8);
    EXPECT_EQ(left_.bytesReceived(), 0);
    EXPECT_EQ(sink_.packets, 0u);
    EXPECT_EQ(left_.inputFormat(), Format::None) << "a dropped datagram set the format";
}

// Two senders on one group: each datagram is taken as what it is, in arrival order, and
// counted by format; the format follows the latest one. Raw traffic also releases an RTP
// packet that waited out its gap when no idle wake comes.
TEST_F(LeftServerInput, MixedRawAndRtpAreTakenDatagramByDatagram) {
    EXPECT_STREQ(inputFormatCode(left_.inputFormat()), "none");
    feed(Bytes{});
    EXPECT_EQ(left_.inputFormat(), Format::None) << "an empty datagram has no format";

    tool::RtpOptions options;
    options.drop = {1};
    tool::RtpSender sender = rtpSender(options);
    feed(testPackets(0, 7));
    EXPECT_STREQ(inputFormatCode(left_.inputFormat()), "ts");
    sendRtp(sender, 7);
    EXPECT_STREQ(inputFormatCode(left_.inputFormat()), "rtp");
    feed(testPackets(14, 7));
    sendRtp(sender, 21); // dropped
    sendRtp(sender, 28); // waits for the dropped one
    EXPECT_EQ(sink_.chunkStarts, (std::vector<std::uint64_t>{0, 7, 14}));
    nowMs_ += RtpSequencer::kWindowMs;
    feed(testPackets(35, 7));
    EXPECT_EQ(sink_.chunkStarts, (std::vector<std::uint64_t>{0, 7, 14, 35, 28}));
    EXPECT_EQ(left_.rtpCounters().lost, 1u);

    EXPECT_EQ(left_.inputFormat(), Format::Ts);
    EXPECT_EQ(left_.tsDatagrams(), 3);
    EXPECT_EQ(left_.rtpDatagrams(), 2);
    EXPECT_EQ(left_.datagramsReceived(), 6);
    EXPECT_EQ(log_.count("-- input format: ts  leftserver"), 1) << log_.text();
    // Four changes so far, the later three within five seconds of the first line.
    EXPECT_EQ(log_.count("-- input format changed to"), 1) << log_.text();
    EXPECT_EQ(1, log_.count("-- input format changed to rtp, changes so far: 1 (raw and RTP "
                            "datagrams on one group: one sender per group is expected)"))
        << log_.text();
    nowMs_ += 5000;
    sendRtp(sender, 42);
    EXPECT_EQ(log_.count("-- input format changed to rtp, changes so far: 5 "), 1) << log_.text();
}

// A switch between two inputs: the old input's packets waiting for a chunk never join the new
// input's, and the jump in continuity counters is no error.
TEST_F(LeftServerInput, SwitchDropsTheOldInputsUnfinishedChunk) {
    left_.setSecondInput("239.1.1.1", "5000", "", "", 300, 1000);
    const auto feedPath = [this](int path, const Bytes& datagram) {
        const int length = static_cast<int>(datagram.size());
        left_.handlePathDatagram(path, datagram.data(), length, length, nowMs_);
    };
    for (std::uint64_t first = 0; first < 9; first += 3) {
        feedPath(InputSwitch::kMain, testPackets(first, 3));
        feedPath(InputSwitch::kBackup, testPackets(1000 + first, 3));
    }
    EXPECT_EQ(sink_.chunkStarts, (std::vector<std::uint64_t>{0})) << "packets 7 and 8 wait";
    nowMs_ += 400; // main silent past the failover timeout
    left_.handlePathIdle(nowMs_);
    feedPath(InputSwitch::kBackup, testPackets(2000, 7));
    EXPECT_EQ(sink_.chunkStarts, (std::vector<std::uint64_t>{0, 2000}));
    EXPECT_EQ(log_.count("-- input switched to 2: input 1 is down; dropped 376 bytes"), 1)
        << log_.text();
    EXPECT_EQ(left_.health().continuityErrors(), 0u);
    EXPECT_EQ(left_.pathFigures(InputSwitch::kBackup).datagrams, 4);
    EXPECT_TRUE(left_.pathFigures(InputSwitch::kBackup).active);
    EXPECT_TRUE(left_.pathFigures(InputSwitch::kMain).stalled);
}

// Two RTP inputs with different SSRCs are two streams: the second is never interleaved into
// the first, and once that has lasted a second the log says so once and the inputs are
// switched between. Guards: the other stream reaching the callers while merging, no fallback,
// a line per packet, both inputs still shown as feeding the callers.
TEST_F(LeftServerInput, RtpInputsOfTwoStreamsAreFailedOverBetweenNotMerged) {
    left_.setSecondInput("239.1.1.1", "5000", "", "", 300, 1000);
    const auto senderOn = [this](int path, std::uint32_t ssrc) {
        tool::RtpOptions options;
        options.ssrc = ssrc;
        return tool::RtpSender(
            options, [this, path](std::span<const std::uint8_t> datagram, std::uint64_t, bool) {
                const int length = static_cast<int>(datagram.size());
                left_.handlePathDatagram(path, datagram.data(), length, length, nowMs_);
                return true;
            });
    };
    tool::RtpSender main = senderOn(InputSwitch::kMain, 7);
    tool::RtpSender backup = senderOn(InputSwitch::kBackup, 8);
    EXPECT_TRUE(left_.merging());
    constexpr std::uint64_t kDatagrams = 1200; // 1.2 s
    for (std::uint64_t index = 0; index < kDatagrams; ++index) {
        main.send(testPackets(index * kPacketsPerChunk, kPacketsPerChunk), 0);
        backup.send(testPackets(1'000'000 + index * kPacketsPerChunk, kPacketsPerChunk), 0);
        ++nowMs_;
    }
    EXPECT_FALSE(left_.merging());
    EXPECT_EQ(log_.count("-- inputs 1 and 2 do not carry the same stream (SSRC 7 on input 1, 8 "
                         "on input 2): failover between them, input 1 feeds the callers"),
              1)
        << log_.text();
    EXPECT_EQ(sink_.packets, kDatagrams * kPacketsPerChunk);
    EXPECT_EQ(sink_.sequence.gaps(), 0u);
    EXPECT_TRUE(left_.pathFigures(InputSwitch::kMain).active);
    EXPECT_FALSE(left_.pathFigures(InputSwitch::kBackup).active);
}

// Guards a settings value writing lines of its own into the operator's log: interface and
// group text is escaped there, and an ordinary value is shown as it is. The receiver stops the
// process when it cannot join, so each run is a child process.
TEST(LeftServerSettings, InterfaceAndGroupTextIsEscapedInTheLog) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto serveWith = [](const std::string& group, const std::string& iface) {
        if (std::freopen("/dev/null", "r", stdin) == nullptr) {
            std::_Exit(1);
        }
        setLogSink([](const std::string& line) { std::fputs(line.c_str(), stderr); });
        StreamSink sink;
        LeftServer left(sink);
        left.setParams(group, "5000", iface, false);
        left.serve();
    };
    EXPECT_EXIT(serveWith("239.1.1.1", "127.0.0.1\n-- forged"), ::testing::ExitedWithCode(255),
                "-- used iface: 127\\.0\\.0\\.1\\\\x0a-- forged  leftserver.*"
                "ERROR: interface is not an IPv4 address: 127\\.0\\.0\\.1\\\\x0a-- forged  ");
    EXPECT_EXIT(serveWith("239.1.1.1\x1b[2J", "127.0.0.1"), ::testing::ExitedWithCode(255),
                "\n-- used iface: 127\\.0\\.0\\.1  leftserver.*"
                "ERROR: group is not an IPv4 address: 239\\.1\\.1\\.1\\\\x1b\\[2J  ");
}

} // namespace
} // namespace vandra
