#include "ingest/gopcache.h"

#include <cstring>

#include "ingest/randomaccess.h"
#include "ingest/tspacket.h"

namespace vandra {

namespace {

bool allSynced(const std::uint8_t* chunk) {
    for (std::int32_t at = 0; at < kChunkSize; at += kTsPacketSize) {
        if (!ts::hasSync(chunk + at)) {
            return false;
        }
    }
    return true;
}

} // namespace

GopCache::GopCache(Limits limits)
    : limits_(limits), capacity_(static_cast<std::int32_t>(limits.maxBytes / kChunkSize)) {}

void GopCache::push(const std::uint8_t* chunk, std::int64_t nowMs) {
    const bool synced = allSynced(chunk);
    // The tables as they were before this chunk: the key frame is found with the video PID
    // they name, and their packets are the ones that precede the chunk in the stream.
    const bool keyFrame = synced && findRandomAccess(chunk, tables_) >= 0;
    const bool tablesReady = keyFrame && tables_.buildTableChunk(nextTableChunk_.data()) ==
                                             ProgramTables::TableChunk::Built;
    const std::uint32_t generation = tables_.generation();
    tables_.feedChunk(chunk);

    if (!synced) {
        drop(Drop::SyncLoss, nowMs);
    } else if (tables_.generation() != generation) {
        drop(Drop::TablesChanged, nowMs); // a key frame here was judged by the old tables
    } else if (keyFrame) {
        if (tablesReady) {
            start(chunk, nowMs);
        } else {
            drop(Drop::NoTableChunk, nowMs);
            lastDrop_ = Drop::NoTableChunk; // a refusal, also when nothing was cached
        }
    } else if (count_ > 0) {
        if (nowMs - startMs_ > limits_.maxAgeMs) {
            drop(Drop::TooOld, nowMs);
        } else if (count_ == capacity_) {
            drop(Drop::TooLarge, nowMs);
        } else {
            append(chunk);
        }
    }
    releaseIfIdle(nowMs);
}

void GopCache::start(const std::uint8_t* chunk, std::int64_t nowMs) {
    if (capacity_ == 0) {
        return;
    }
    if (!storage_) {
        // Pages are touched only as chunks are written, so resident memory follows the GOPs.
        storage_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<size_t>(capacity_) *
                                                                  kChunkSize);
    }
    tableChunk_ = nextTableChunk_;
    previousCount_ = count_;
    previousSpanMs_ = count_ > 0 ? nowMs - startMs_ : 0;
    count_ = 0;
    startMs_ = nowMs;
    append(chunk);
}

void GopCache::append(const std::uint8_t* chunk) {
    std::memcpy(storage_.get() + static_cast<size_t>(count_) * kChunkSize, chunk, kChunkSize);
    ++count_;
}

void GopCache::drop(Drop reason, std::int64_t nowMs) {
    if (count_ > 0) {
        emptySinceMs_ = nowMs;
        lastDrop_ = reason;
    }
    count_ = 0;
}

void GopCache::restart(std::int64_t nowMs) {
    drop(Drop::InputSwitched, nowMs);
    previousCount_ = 0;
    previousSpanMs_ = 0;
}

void GopCache::releaseIfIdle(std::int64_t nowMs) {
    if (storage_ && count_ == 0 && nowMs - emptySinceMs_ >= limits_.releaseAfterMs) {
        storage_.reset();
    }
}

std::int32_t GopCache::visit(std::int64_t nowMs, const ChunkVisitor& visitor) const {
    if (count_ == 0 || nowMs - startMs_ > limits_.maxAgeMs) {
        return 0;
    }
    visitor(tableChunk_.data());
    for (std::int32_t index = 0; index < count_; ++index) {
        visitor(storage_.get() + static_cast<size_t>(index) * kChunkSize);
    }
    return count_ + 1;
}

std::int64_t GopCache::bytesPerSecond(std::int64_t nowMs) const {
    if (count_ == 0) {
        return 0;
    }
    const std::int64_t spanMs = previousSpanMs_ + (nowMs - startMs_);
    const std::int64_t bytes = std::int64_t{previousCount_ + count_} * kChunkSize;
    return spanMs > 0 ? bytes * 1000 / spanMs : 0;
}

std::int32_t GopCache::snapshot(std::int64_t nowMs, std::vector<std::uint8_t>& out) const {
    return visit(nowMs, [&out](const std::uint8_t* chunk) {
        out.insert(out.end(), chunk, chunk + kChunkSize);
    });
}

} // namespace vandra
