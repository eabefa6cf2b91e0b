#include <gtest/gtest.h>

#include "ingest/gopcache.h"
#include "tsbuilder.h"

namespace vandra {
namespace {

using test::Bytes;
using test::kPmtPid;
using test::kVideoPid;
using test::StreamWriter;

class GopCacheTest : public ::testing::Test {
protected:
    void writeTables(std::uint8_t pmtVersion = 0) {
        writer_.table(0, test::patSection({{1, kPmtPid}}));
        writer_.table(kPmtPid, test::pmtSection(1, {{0x1B, kVideoPid}}, pmtVersion));
    }
    // A key frame is found with the tables known before its chunk.
    void startStream() {
        writeTables();
        writer_.padChunk();
    }
    void writeKeyFrame() {
        writer_.packet(kVideoPid, test::pes({0, 0, 1, 0x09, 0xF0}),
                       {.unitStart = true, .randomAccess = true});
    }
    void writeVideo(int packets) {
        for (int i = 0; i < packets; ++i) {
            writer_.packet(kVideoPid, Bytes(184, static_cast<std::uint8_t>(i)));
        }
    }
    // Pushes what was written since the last call, one chunk each `stepMs`; returns the index of
    // the first chunk pushed.
    std::size_t push(GopCache& cache, std::int64_t stepMs = 40) {
        writer_.padChunk();
        const std::size_t first = pushed_;
        for (; pushed_ < writer_.chunks(); ++pushed_) {
            nowMs_ += stepMs;
            cache.push(writer_.chunk(pushed_), nowMs_);
        }
        return first;
    }
    Bytes chunks(std::size_t first, std::size_t count) const {
        return Bytes(writer_.chunk(first), writer_.chunk(first) + count * kChunkSize);
    }

    StreamWriter writer_;
    std::size_t pushed_ = 0;
    std::int64_t nowMs_ = 1000;
};

TEST_F(GopCacheTest, SnapshotIsTablesThenTheChunksFromTheLatestKeyFrame) {
    GopCache cache;
    writeKeyFrame(); // before the tables: cannot be recognised
    writeTables();
    writeVideo(4);
    push(cache);
    EXPECT_EQ(cache.cachedChunks(), 0);
    EXPECT_EQ(cache.storageBytes(), 0) << "nothing allocated before a key frame";

    writeKeyFrame();
    writeVideo(9);
    writeTables(); // the repeat inside the GOP
    push(cache);
    EXPECT_EQ(cache.cachedChunks(), 2);

    writeVideo(3);
    writeTables(); // latest before the next key frame
    writer_.padChunk();
    writeVideo(2);
    writeKeyFrame(); // index 2 in its chunk
    writeTables();   // after the key frame: not what precedes the cached chunks
    writeVideo(8);
    const std::size_t keyChunk = push(cache) + 1;
    ASSERT_EQ(cache.cachedChunks(), 2);

    std::vector<std::uint8_t> snapshot;
    ASSERT_EQ(cache.snapshot(nowMs_, snapshot), 3);
    ASSERT_EQ(snapshot.size(), 3u * kChunkSize);
    const Bytes tablesBefore(writer_.chunk(keyChunk - 1) + 3 * kTsPacketSize,
                             writer_.chunk(keyChunk - 1) + 5 * kTsPacketSize);
    EXPECT_EQ(Bytes(snapshot.begin(), snapshot.begin() + 2 * kTsPacketSize), tablesBefore);
    EXPECT_EQ(Bytes(snapshot.begin() + kChunkSize, snapshot.end()), chunks(keyChunk, 2));
}

TEST_F(GopCacheTest, DropsOnSyncLossAndTableChangeUntilTheNextKeyFrame) {
    GopCache cache;
    startStream();
    writeKeyFrame();
    writeVideo(10);
    push(cache);
    ASSERT_EQ(cache.cachedChunks(), 2);

    writer_.packet(kVideoPid, {}, {.syncLost = true});
    push(cache);
    EXPECT_EQ(cache.cachedChunks(), 0);
    EXPECT_EQ(cache.lastDrop(), GopCache::Drop::SyncLoss);
    writeVideo(7);
    push(cache);
    EXPECT_EQ(cache.cachedChunks(), 0) << "no key frame since";

    writeKeyFrame();
    writeVideo(7);
    push(cache);
    ASSERT_EQ(cache.cachedChunks(), 2);
    writeTables(1);
    writeKeyFrame(); // judged by the tables before the change: not taken
    push(cache);
    EXPECT_EQ(cache.cachedChunks(), 0);
    EXPECT_EQ(cache.lastDrop(), GopCache::Drop::TablesChanged);
    std::vector<std::uint8_t> snapshot;
    EXPECT_EQ(cache.snapshot(nowMs_, snapshot), 0);
    EXPECT_TRUE(snapshot.empty());
}

TEST_F(GopCacheTest, KeepsNothingPastItsBoundsAndGivesItsStorageBack) {
    GopCache cache(GopCache::Limits{
        .maxAgeMs = 1000, .maxBytes = 3 * kChunkSize + 100, .releaseAfterMs = 5000});
    startStream();
    writeKeyFrame();
    writeVideo(2 * 7);
    push(cache);
    ASSERT_EQ(cache.cachedChunks(), 3);
    writeVideo(7);
    push(cache);
    EXPECT_EQ(cache.cachedChunks(), 0);
    EXPECT_EQ(cache.lastDrop(), GopCache::Drop::TooLarge);

    writeKeyFrame();
    writeVideo(6);
    push(cache, 900);
    ASSERT_EQ(cache.cachedChunks(), 1);
    std::vector<std::uint8_t> snapshot;
    EXPECT_EQ(cache.snapshot(nowMs_ + 1001, snapshot), 0) << "stale when the input stalls";
    writeVideo(7);
    push(cache, 1001);
    EXPECT_EQ(cache.cachedChunks(), 0);
    EXPECT_EQ(cache.lastDrop(), GopCache::Drop::TooOld);

    EXPECT_EQ(cache.storageBytes(), 3 * kChunkSize);
    writeVideo(7 * 4);
    push(cache, 1000);
    EXPECT_GT(cache.storageBytes(), 0) << "4 s empty";
    writeVideo(7);
    push(cache, 1000);
    EXPECT_EQ(cache.storageBytes(), 0);
}

// The rate paces a new caller's catch-up: too low and it never catches up, too high and the
// burst it was meant to avoid comes back.
TEST_F(GopCacheTest, RateSpansTheCachedChunksAndTheWholeGopBefore) {
    GopCache cache;
    EXPECT_EQ(cache.bytesPerSecond(nowMs_), 0);
    startStream();
    writeKeyFrame();
    writeVideo(7 * 3);
    push(cache, 10);
    ASSERT_EQ(cache.cachedChunks(), 4);
    // 4 chunks from the key frame's chunk on, 30 ms after it and 10 ms before the next.
    EXPECT_EQ(cache.bytesPerSecond(nowMs_ + 10), 4 * kChunkSize * 1000 / 40);

    writeKeyFrame();
    writeVideo(6); // a chunk each 20 ms now
    push(cache, 20);
    ASSERT_EQ(cache.cachedChunks(), 1);
    // The GOP before ran from its key frame's chunk to this one's: 4 chunks in 50 ms.
    EXPECT_EQ(cache.bytesPerSecond(nowMs_ + 20), 5 * kChunkSize * 1000 / (50 + 20));

    writer_.packet(kVideoPid, {}, {.syncLost = true});
    push(cache, 20);
    writeKeyFrame();
    writeVideo(6);
    push(cache, 20);
    ASSERT_EQ(cache.cachedChunks(), 1);
    EXPECT_EQ(cache.bytesPerSecond(nowMs_ + 20), kChunkSize * 1000 / 20)
        << "the GOP before was not cached whole";
    EXPECT_EQ(cache.bytesPerSecond(nowMs_), 0) << "no time spanned yet";
}

} // namespace
} // namespace vandra
