#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/mutex.h"

namespace vandra {

// A byte ring that takes writes of any length and hands out fixed-size chunks. When a write
// would reach unread bytes the storage grows (logged) instead of overwriting them.
// One writer thread and one reader thread; `available` may be read from anywhere.
//
// The storage is a cycle of blocks. A growth adds a block at the writer's position (splitting
// the block it is in, when it is inside one) and copies nothing, so the writer, which may hold
// other locks, never moves a backlog however large it gets.
//
// Storage costs memory only where bytes were written: it is taken on the first write and not
// cleared, and whenever the buffer has drained the next write starts again at its beginning,
// so a buffer that backs up now and then keeps reusing the same pages. `releaseStorage`
// hands them back; the capacity, and so the growth rule, stays as it was.
class RingBufferAdaptive {
public:
    // Blocks handed back by releaseStorage, for the caller to free where it holds no lock.
    using Storage = std::vector<std::unique_ptr<std::uint8_t[]>>;

    RingBufferAdaptive(std::int32_t chunkSize, std::int32_t chunkCount);
    RingBufferAdaptive(const RingBufferAdaptive&) = delete;
    RingBufferAdaptive& operator=(const RingBufferAdaptive&) = delete;

    // Appends `length` bytes; never refuses, blocks only on the buffer's mutex. Writer only.
    // Not analysed: the analysis cannot see that the blocks and the write position change
    // only on the writer's thread (or where it cannot run), which therefore reads them
    // without the lock.
    void push(const std::uint8_t* source, std::int32_t length) NO_THREAD_SAFETY_ANALYSIS;
    // Copies one chunk into `chunkOut` (chunkSize bytes, owned by the reader) and returns true,
    // or returns false when less than a chunk is unread. Reader only.
    bool pop(std::uint8_t* chunkOut) EXCLUDES(mutex_);
    // Unread bytes; a snapshot that needs no lock.
    std::int32_t available() const { return fill_.load(std::memory_order_acquire); }

    // Gives up the storage of an empty buffer and returns true; false (and nothing changes)
    // while bytes are unread. The blocks go to `keep` when given (so that the caller frees
    // them after releasing its own locks), else they are freed here. The next write takes new
    // storage of the same capacity. It replaces what the writer uses without the lock, so no
    // push may run meanwhile: call it on the writer's thread or under a lock that the writer
    // holds around every push.
    bool releaseStorage(Storage* keep = nullptr) EXCLUDES(mutex_);
    // Drops every unread byte and keeps the storage. Like releaseStorage, no push may run
    // meanwhile. Reader only.
    void clear() EXCLUDES(mutex_);
    // Whether storage is held at the moment; any thread.
    bool holdsStorage() const EXCLUDES(mutex_);
    // Makes room for `length` more bytes in one step and without the growth's log line, taking
    // storage if none is held. The first `touch` bytes of new storage (all of it by default)
    // are written to once here, so that their pages are in memory before the writer, which
    // may hold other locks, fills them. Writer only.
    void reserve(std::int32_t length, std::int32_t touch = -1) NO_THREAD_SAFETY_ANALYSIS;

    std::int32_t chunkSize() const { return chunkSize_; }
    // Current storage size; reads take the mutex, so any thread may ask.
    std::int32_t capacity() const EXCLUDES(mutex_);

private:
    struct Block {
        std::uint8_t* data;
        std::int32_t size;
    };
    struct Position {
        std::size_t block = 0;
        std::int32_t offset = 0;
    };

    void grow(std::int32_t length) NO_THREAD_SAFETY_ANALYSIS;
    void rewindIfDrained() NO_THREAD_SAFETY_ANALYSIS;
    void copyIn(const std::uint8_t* source, std::int32_t length) NO_THREAD_SAFETY_ANALYSIS;
    void insertAtWriter(std::unique_ptr<std::uint8_t[]> storage, std::int32_t size)
        REQUIRES(mutex_);
    std::int32_t offsetOf(Position position) const REQUIRES(mutex_);

    const std::int32_t chunkSize_;
    const std::int32_t growStep_;
    // guards the blocks, capacity_ and the read position, and every change of fill_. The
    // writer alone changes the blocks and the write position (apart from `releaseStorage`,
    // which the writer cannot overlap), so it reads them without the lock.
    mutable Mutex mutex_;
    Storage storage_ GUARDED_BY(mutex_); // what the blocks point into; empty until first write
    std::vector<Block> blocks_ GUARDED_BY(mutex_); // in ring order
    std::int32_t capacity_ GUARDED_BY(mutex_);
    Position read_ GUARDED_BY(mutex_);
    Position write_; // writer only; may rest at the end of a block
    std::atomic<std::int32_t> fill_{0};
};

} // namespace vandra
