#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "core/chunksink.h"
#include "ingest/inputhealth.h"
#include "ingest/leftserver.h"
#include "logcapture.h"
#include "tsbuilder.h"

namespace vandra {
namespace {

using test::StreamWriter;

constexpr const char* kLinePrefix = "-- input stream in the last 10 s: ";

// Whole chunks of PID 256 with running counters; `jumpAt` (a packet index) skips a counter.
test::Bytes videoChunks(int chunks, int jumpAt = -1, int syncLostAt = -1) {
    StreamWriter writer;
    for (int i = 0; i < chunks * kPacketsPerChunk; ++i) {
        test::PacketFlags flags;
        if (i == jumpAt) {
            flags.counter = (i + 1) & 0x0F;
        }
        if (i == syncLostAt) {
            flags.syncLost = true;
            writer.packet(0x300, {}, flags); // its PID appears nowhere else
            continue;
        }
        writer.packet(0x100, {}, flags);
    }
    return writer.bytes();
}

void inspectAll(InputHealth& health, const test::Bytes& bytes, std::int64_t nowMs) {
    for (std::size_t at = 0; at + kChunkSize <= bytes.size(); at += kChunkSize) {
        health.inspect(bytes.data() + at, nowMs);
    }
}

// Guards: a line per error (a flood), a line before the period is over or never one, errors
// lost between periods, a clean stream that counts something.
TEST(InputHealth, ErrorsOfAPeriodMakeOneLineWhenItEnds) {
    LogCapture log;
    InputHealth health;
    inspectAll(health, videoChunks(20), 0);
    health.reportIfDue(60'000);
    EXPECT_EQ(health.continuityErrors() + health.syncErrors(), 0u);

    InputHealth broken;
    inspectAll(broken, videoChunks(4, 10, 20), 1000);
    EXPECT_EQ(broken.continuityErrors(), 1u);
    EXPECT_EQ(broken.syncErrors(), 1u);
    broken.reportIfDue(10'999);
    EXPECT_EQ(log.count("-- input stream"), 0) << log.text();
    broken.reportIfDue(11'000);
    EXPECT_EQ(1,
              log.count(std::string(kLinePrefix) + "1 continuity error on PID 256; 1 sync error  "
                                                   "inputhealth  "))
        << log.text();

    // The stream starts over with its counters at 0: that alone is no error, its jump is.
    broken.restart();
    inspectAll(broken, videoChunks(1, 3), 12'000);
    EXPECT_EQ(broken.continuityErrors(), 2u);
    broken.reportIfDue(21'999);
    EXPECT_EQ(log.count("-- input stream"), 1);
    broken.reportIfDue(22'000);
    EXPECT_EQ(log.count(std::string(kLinePrefix) + "1 continuity error on PID 256  "), 1)
        << log.text();
    broken.reportIfDue(60'000);
    EXPECT_EQ(log.count("-- input stream"), 2) << "a line without new errors";
}

class CountingSink final : public ChunkSink {
public:
    void broadcast(const std::uint8_t*, std::int32_t) override { ++chunks; }
    int chunks = 0;
};

// Guards: the receiver not inspecting what it passes on, or inspecting datagrams instead of
// whole chunks (a datagram of single packets must count the same).
TEST(InputHealth, ReceiverInspectsEveryChunkItPassesOn) {
    CountingSink sink;
    LeftServer left(sink);
    const test::Bytes stream = videoChunks(3, 9);
    for (std::size_t at = 0; at < stream.size(); at += kTsPacketSize) {
        left.handleDatagram(stream.data() + at, kTsPacketSize, kTsPacketSize);
    }
    EXPECT_EQ(sink.chunks, 3);
    EXPECT_EQ(left.health().continuityErrors(), 1u);
    EXPECT_EQ(left.health().syncErrors(), 0u);
}

} // namespace
} // namespace vandra
