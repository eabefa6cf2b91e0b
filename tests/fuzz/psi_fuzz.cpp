#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "core/chunk.h"
#include "fuzzcheck.h"
#include "ingest/gopcache.h"
#include "ingest/programtables.h"
#include "ingest/randomaccess.h"

namespace vandra::fuzz {
namespace {

using Chunk = std::vector<std::uint8_t>;

bool allSynced(const std::uint8_t* chunk) {
    for (int i = 0; i < kPacketsPerChunk; ++i) {
        if (chunk[i * kTsPacketSize] != 0x47) {
            return false;
        }
    }
    return true;
}

// The tables a decoder would read from the table chunk alone must be the ones in use.
void checkTableChunk(const std::uint8_t* tableChunk, const GopCache& cache) {
    require(allSynced(tableChunk), "table chunk with a bad sync byte");
    ProgramTables fresh;
    fresh.feedChunk(tableChunk);
    const ProgramTables& tables = cache.tables();
    require(fresh.pmtPid() == tables.pmtPid(), "table chunk names another PMT PID");
    require(fresh.videoPid() == tables.videoPid() && fresh.videoCodec() == tables.videoCodec(),
            "table chunk names another video");
}

void checkSnapshot(const GopCache& cache, std::int64_t nowMs, const std::deque<Chunk>& recent,
                   std::int64_t maxBytes) {
    const std::int32_t cached = cache.cachedChunks();
    require(cached >= 0 && std::int64_t{cached} * kChunkSize <= maxBytes, "cache past its bound");
    std::vector<std::uint8_t> snapshot;
    const std::int32_t count = cache.snapshot(nowMs, snapshot);
    require(snapshot.size() == static_cast<size_t>(count) * kChunkSize,
            "snapshot holds a partial chunk");
    if (count == 0) {
        return;
    }
    require(count == cached + 1, "snapshot is not the table chunk and the cached chunks");
    require(static_cast<size_t>(cached) <= recent.size(), "more cached than pushed");
    checkTableChunk(snapshot.data(), cache);
    // The cached chunks are exactly the latest pushed ones, in order: no gap, no duplicate.
    const size_t first = recent.size() - static_cast<size_t>(cached);
    for (std::int32_t i = 0; i < cached; ++i) {
        const std::uint8_t* chunk = snapshot.data() + static_cast<size_t>(i + 1) * kChunkSize;
        require(std::memcmp(chunk, recent[first + static_cast<size_t>(i)].data(), kChunkSize) == 0,
                "cached chunk differs from the pushed one");
        require(allSynced(chunk), "cached chunk with a bad sync byte");
    }
    require(findRandomAccess(snapshot.data() + kChunkSize, cache.tables()) >= 0,
            "cache does not start at a key frame");
}

} // namespace

void checkInput(const std::uint8_t* data, size_t size) {
    if (size < 3) {
        return;
    }
    // Bounds and pace from the first three bytes: small bounds so that the fuzzer hits them.
    const std::int64_t maxChunks = 1 + data[0] % 32;
    const std::int64_t stepMs = data[1] % 64;
    const bool forceSync = (data[2] & 1) != 0;
    const GopCache::Limits limits{
        .maxAgeMs = 500, .maxBytes = maxChunks * kChunkSize + data[2] / 2, .releaseAfterMs = 1000};
    GopCache cache(limits);
    std::deque<Chunk> recent;
    std::int64_t nowMs = 0;
    for (size_t at = 3; at + kChunkSize <= size; at += kChunkSize) {
        Chunk chunk(data + at, data + at + kChunkSize);
        if (forceSync) {
            for (int i = 0; i < kPacketsPerChunk; ++i) {
                chunk[static_cast<size_t>(i) * kTsPacketSize] = 0x47;
            }
        }
        nowMs += stepMs;
        cache.push(chunk.data(), nowMs);
        recent.push_back(std::move(chunk));
        if (static_cast<std::int64_t>(recent.size()) > maxChunks) {
            recent.pop_front();
        }
        checkSnapshot(cache, nowMs, recent, limits.maxBytes);
    }
}

} // namespace vandra::fuzz
