#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/ringbuffer_adaptive.h"
#include "logcapture.h"

namespace vandra {
namespace {

constexpr std::int32_t kChunk = 1316;

// Bytes numbered by their position in the stream, so order and loss both show.
std::vector<std::uint8_t> streamBytes(std::uint64_t from, std::int32_t length) {
    std::vector<std::uint8_t> bytes(static_cast<size_t>(length));
    for (std::int32_t i = 0; i < length; ++i) {
        bytes[static_cast<size_t>(i)] =
            static_cast<std::uint8_t>((from + i) * 7 + (from + i) / 251);
    }
    return bytes;
}

class StreamWriter {
public:
    explicit StreamWriter(RingBufferAdaptive& ring) : ring_(ring) {}
    void write(std::int32_t length) {
        const auto bytes = streamBytes(written_, length);
        ring_.push(bytes.data(), length);
        written_ += static_cast<std::uint64_t>(length);
    }
    void writeChunks(int count) {
        for (int i = 0; i < count; ++i) {
            write(kChunk);
        }
    }
    std::uint64_t written() const { return written_; }

private:
    RingBufferAdaptive& ring_;
    std::uint64_t written_ = 0;
};

class StreamReader {
public:
    explicit StreamReader(RingBufferAdaptive& ring) : ring_(ring) {}
    // Pops one chunk and checks it continues the stream exactly.
    bool readChunk() {
        std::vector<std::uint8_t> chunk(kChunk);
        if (!ring_.pop(chunk.data())) {
            return false;
        }
        EXPECT_EQ(chunk, streamBytes(read_, kChunk)) << "chunk at stream offset " << read_;
        read_ += kChunk;
        return true;
    }
    // Reads up to `most` chunks (all there are by default); how many it read.
    int readChunks(int most = std::numeric_limits<int>::max()) {
        int count = 0;
        while (count < most && readChunk()) {
            ++count;
        }
        return count;
    }
    std::uint64_t read() const { return read_; }

private:
    RingBufferAdaptive& ring_;
    std::uint64_t read_ = 0;
};

std::string capturedGrowth(const std::function<void()>& action) {
    LogCapture log;
    action();
    return log.text();
}

// A ring of ten chunks with a writer and a reader of the numbered stream.
class RingBufferAdaptiveTest : public ::testing::Test {
protected:
    RingBufferAdaptive ring{kChunk, 10};
    StreamWriter writer{ring};
    StreamReader reader{ring};
};

TEST_F(RingBufferAdaptiveTest, GrowsLinearlyByTheInitialCapacity) {
    const std::string log = capturedGrowth([&] { writer.writeChunks(25); });
    EXPECT_EQ(ring.capacity(), 39480);
    for (const std::string size : {"13160", "26320"}) {
        const std::string line = "-- CRITICAL SIZE NEED REALLOC " + size + " 0 " + size + " 1316  ";
        EXPECT_NE(log.find(line + "ringbuffer_adaptive  "), std::string::npos) << log;
    }
    reader.readChunks();
    EXPECT_EQ(reader.read(), 25u * kChunk);
}

TEST_F(RingBufferAdaptiveTest, WrapsInsteadOfGrowingWhenTheReaderHasMadeRoom) {
    for (int i = 0; i < 25; ++i) {
        writer.write(500);
    }
    ASSERT_TRUE(reader.readChunk());
    ASSERT_TRUE(reader.readChunk());
    const std::string log = capturedGrowth([&] { writer.write(kChunk); });
    EXPECT_EQ(log, "");
    EXPECT_EQ(ring.capacity(), 13160);
    reader.readChunks();
    EXPECT_EQ(reader.read(), 10u * kChunk);
}

TEST_F(RingBufferAdaptiveTest, EmptyBufferAtTheEndOfStorageDoesNotGrowOrRepeat) {
    // The state of every eleventh 1316-byte datagram: storage written to its end and all read.
    const std::string log = capturedGrowth([&] {
        for (int i = 0; i < 1000; ++i) {
            writer.write(kChunk);
            ASSERT_TRUE(reader.readChunk());
            ASSERT_FALSE(reader.readChunk());
        }
    });
    EXPECT_EQ(log, "");
    EXPECT_EQ(ring.capacity(), 13160);
}

// A writer that knows how much it is about to write takes the room in one step: no growth,
// no log line, and a backlog that wraps keeps its order.
TEST_F(RingBufferAdaptiveTest, ReserveMakesRoomInOneStepWithoutALogLine) {
    writer.writeChunks(8);
    ASSERT_EQ(reader.readChunks(5), 5);
    writer.write(4 * kChunk); // unread bytes now wrap around the end
    const std::string log = capturedGrowth([&] {
        ring.reserve(30 * kChunk);
        EXPECT_EQ(ring.capacity(), 37 * kChunk) << "the 7 unread chunks and the 30 to come";
        ring.reserve(30 * kChunk);
        EXPECT_EQ(ring.capacity(), 37 * kChunk) << "enough room already";
        writer.writeChunks(30);
    });
    EXPECT_EQ(ring.capacity(), 37 * kChunk);
    EXPECT_EQ(log, "");
    reader.readChunks();
    EXPECT_EQ(reader.read(), writer.written());
}

TEST_F(RingBufferAdaptiveTest, TakesStorageOnTheFirstWriteAndStartsAgainAtTheBeginningWhenDrained) {
    EXPECT_FALSE(ring.holdsStorage());
    writer.writeChunks(5);
    EXPECT_TRUE(ring.holdsStorage());
    reader.readChunks();
    // Drained at the middle of the storage: the next ten chunks fill it from its beginning,
    // so the eleventh grows it with both positions at the start.
    const std::string log = capturedGrowth([&] { writer.writeChunks(11); });
    EXPECT_EQ(log.rfind("-- CRITICAL SIZE NEED REALLOC 13160 0 13160 1316  ", 0), 0u) << log;
    reader.readChunks();
    EXPECT_EQ(reader.read(), writer.written());

    // A fresh caller's ring holds no storage yet: reserving takes it, in one piece.
    RingBufferAdaptive fresh(kChunk, 10);
    StreamWriter freshWriter(fresh);
    EXPECT_EQ(capturedGrowth([&] {
                  fresh.reserve(30 * kChunk);
                  EXPECT_TRUE(fresh.holdsStorage());
                  freshWriter.write(30 * kChunk);
              }),
              "");
    EXPECT_EQ(fresh.capacity(), 30 * kChunk);
    EXPECT_EQ(StreamReader(fresh).readChunks(), 30);
}

TEST(RingBufferAdaptive, ReleasesStorageOnlyWhenEmptyClearKeepsItAndReleaseHandsItOut) {
    RingBufferAdaptive ring(kChunk, 2);
    StreamWriter writer(ring);
    StreamReader reader(ring);
    const std::string growth = capturedGrowth([&] { writer.writeChunks(3); });
    EXPECT_NE(growth.find("-- CRITICAL SIZE NEED REALLOC "), std::string::npos);
    EXPECT_FALSE(ring.releaseStorage());
    EXPECT_EQ(ring.available(), 3 * kChunk);
    reader.readChunks();
    EXPECT_TRUE(ring.releaseStorage());
    EXPECT_FALSE(ring.holdsStorage());
    EXPECT_EQ(ring.capacity(), 4 * kChunk);
    const std::string log = capturedGrowth([&] { writer.writeChunks(4); });
    EXPECT_EQ(log, "") << "a released buffer grew again";
    reader.readChunks();
    EXPECT_EQ(reader.read(), writer.written());

    // Dropping a backlog keeps the storage; handing storage out leaves it to the caller to free.
    capturedGrowth([&] { writer.writeChunks(5); });
    const std::int32_t capacity = ring.capacity();
    ring.clear();
    EXPECT_EQ(ring.available(), 0);
    EXPECT_TRUE(ring.holdsStorage());
    EXPECT_EQ(reader.readChunks(), 0);
    RingBufferAdaptive::Storage kept;
    EXPECT_TRUE(ring.releaseStorage(&kept));
    EXPECT_FALSE(ring.holdsStorage());
    EXPECT_GE(kept.size(), 2u) << "the first block and at least one grown";
    EXPECT_EQ(ring.capacity(), capacity);
}

// One writer at full speed and one reader that pauses now and then, forcing growths while
// chunks are being read: every byte must arrive once and in order.
TEST(RingBufferAdaptiveThreads, WriterAndReaderOnTwoThreadsLoseNothing) {
    RingBufferAdaptive ring(kChunk, 4);
    constexpr std::uint64_t kTotal = 8ull * 1024 * 1024;
    LogCapture log;
    std::thread writer([&ring] {
        std::mt19937 random(7);
        std::uint64_t written = 0;
        while (written < kTotal) {
            const auto length = static_cast<std::int32_t>(
                std::min<std::uint64_t>(1 + random() % kChunk, kTotal - written));
            const auto bytes = streamBytes(written, length);
            ring.push(bytes.data(), length);
            written += static_cast<std::uint64_t>(length);
        }
    });
    std::uint64_t read = 0;
    std::uint64_t mismatches = 0;
    std::vector<std::uint8_t> chunk(kChunk);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (int popped = 0; read + kChunk <= kTotal && std::chrono::steady_clock::now() < deadline;) {
        if (!ring.pop(chunk.data())) {
            std::this_thread::yield();
            continue;
        }
        if (chunk != streamBytes(read, kChunk)) {
            ++mismatches;
        }
        read += kChunk;
        if (++popped % 2000 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    writer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(read, kTotal / kChunk * kChunk);
    EXPECT_EQ(ring.available(), static_cast<std::int32_t>(kTotal % kChunk));
    EXPECT_GT(log.count("-- CRITICAL SIZE NEED REALLOC "), 0)
        << "the test is meant to force growths";
}

// The server's arrangement: the writer pushes under an outer lock, the reader pops and, when
// it finds the buffer empty, releases the storage under that lock.
TEST(RingBufferAdaptiveThreads, ReleasesUnderTheWritersLockLoseNothing) {
    RingBufferAdaptive ring(kChunk, 4);
    Mutex writerLock;
    constexpr std::uint64_t kChunks = 20000;
    std::atomic<std::uint64_t> chunksRead{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::thread writer([&] {
        for (std::uint64_t i = 0; i < kChunks; ++i) {
            const auto bytes = streamBytes(i * kChunk, kChunk);
            {
                MutexLock lock(writerLock);
                ring.push(bytes.data(), kChunk);
            }
            // Now and then the writer waits for the reader to drain the buffer, so that it
            // releases the storage while the writer is still running whatever the scheduling.
            while (i % 1000 == 999 && chunksRead.load() <= i &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
        }
    });
    std::uint64_t read = 0;
    std::uint64_t mismatches = 0;
    int releases = 0;
    std::vector<std::uint8_t> chunk(kChunk);
    while (read < kChunks * kChunk && std::chrono::steady_clock::now() < deadline) {
        if (ring.pop(chunk.data())) {
            mismatches += chunk != streamBytes(read, kChunk) ? 1 : 0;
            read += kChunk;
            chunksRead.store(read / kChunk);
            continue;
        }
        MutexLock lock(writerLock);
        releases += ring.releaseStorage() ? 1 : 0;
    }
    writer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(read, kChunks * kChunk);
    EXPECT_GT(releases, 0) << "the test is meant to release while the writer runs";
}

} // namespace
} // namespace vandra
