#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/chunk.h"
#include "ingest/programtables.h"

namespace vandra {

// The fast-start cache: the whole chunks of the input since the latest random access point of
// the video, so that a new caller can start with a picture instead of waiting for the next one.
// Bounded in age and bytes; past either bound, or without programme tables, it holds nothing
// and callers start live. Chunks are kept as received.
//
// Not thread safe: the registry makes every call under its clients mutex. The receiver push()es
// every chunk in input order; a caller's thread calls cachedChunks() before it publishes its
// buffer, visit() and bytesPerSecond() in the hold that publishes it (so cache and live chunks
// join with no gap and no duplicate), and bytesPerSecond() again while it catches up.
class GopCache {
public:
    struct Limits {
        std::int64_t maxAgeMs = 8000;
        std::int64_t maxBytes = 16 * 1024 * 1024;
        // Storage is given back once nothing was cached for this long.
        std::int64_t releaseAfterMs = 30000;
    };

    // Why the cache last dropped its chunks, or could not start at a key frame.
    enum class Drop {
        None,
        SyncLoss,      // a chunk with a packet whose sync byte is wrong
        TablesChanged, // new PAT or PMT content, the video PID with it
        TooOld,        // no random access point within maxAgeMs
        TooLarge,      // no random access point within maxBytes
        NoTableChunk,  // the tables do not fit in one chunk
        InputSwitched, // the chunks now come from another input
    };

    using ChunkVisitor = std::function<void(const std::uint8_t* chunk)>;

    GopCache() : GopCache(Limits{}) {}
    explicit GopCache(Limits limits);
    GopCache(const GopCache&) = delete;
    GopCache& operator=(const GopCache&) = delete;

    // One received chunk (kChunkSize bytes), at the steady clock's `nowMs`.
    void push(const std::uint8_t* chunk, std::int64_t nowMs);

    // The stream starts over on another input: nothing is served until its next key frame, and
    // the rate no longer counts the old input's GOP.
    void restart(std::int64_t nowMs);

    // Hands `visitor` a chunk of the latest PAT and PMT, then the cached chunks from the random
    // access point on, oldest first, and returns how many chunks that was: 0 (and no call)
    // when nothing is cached or the cache is older than maxAgeMs at `nowMs`.
    std::int32_t visit(std::int64_t nowMs, const ChunkVisitor& visitor) const;
    // The same chunks appended to `out`.
    std::int32_t snapshot(std::int64_t nowMs, std::vector<std::uint8_t>& out) const;

    // Chunks from the random access point on, the table chunk not counted.
    std::int32_t cachedChunks() const { return count_; }
    std::int64_t storageBytes() const {
        return storage_ ? capacity_ * std::int64_t{kChunkSize} : 0;
    }
    // The input's rate in bytes per second over the cached chunks and, when it was cached
    // whole, the GOP before them, up to `nowMs`; 0 while that spans no time. It paces a new
    // caller's catch-up.
    std::int64_t bytesPerSecond(std::int64_t nowMs) const;
    Drop lastDrop() const { return lastDrop_; }
    const ProgramTables& tables() const { return tables_; }

private:
    void start(const std::uint8_t* chunk, std::int64_t nowMs);
    void append(const std::uint8_t* chunk);
    void drop(Drop reason, std::int64_t nowMs);
    void releaseIfIdle(std::int64_t nowMs);

    const Limits limits_;
    const std::int32_t capacity_; // chunks
    ProgramTables tables_;
    std::unique_ptr<std::uint8_t[]> storage_; // capacity_ chunks, allocated at the first start
    std::int32_t count_ = 0;
    std::int64_t startMs_ = 0;
    std::int32_t previousCount_ = 0; // chunks of the GOP before, when it was cached whole
    std::int64_t previousSpanMs_ = 0;
    std::int64_t emptySinceMs_ = 0;
    Drop lastDrop_ = Drop::None;
    std::array<std::uint8_t, kChunkSize> tableChunk_{};
    std::array<std::uint8_t, kChunkSize> nextTableChunk_{};
};

} // namespace vandra
