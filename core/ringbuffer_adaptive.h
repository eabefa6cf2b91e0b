#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/mutex.h"

namespace vandra {

// A byte ring that takes writes of any length and hands out fixed-size chunks. When a write
// would reach unread bytes the storage grows (logged) instead of overwriting them.
// One writer thread and one reader thread; `available` may be read from anywhere.
//
// Storage costs memory only where bytes were written: it is taken on the first write and not
// cleared, and whenever the buffer has drained the next write starts again at its beginning,
// so a buffer that backs up now and then keeps reusing the same pages. `releaseStorage`
// hands them back; the capacity, and so the growth rule, stays as it was.
class RingBufferAdaptive {
public:
    RingBufferAdaptive(std::int32_t chunkSize, std::int32_t chunkCount);
    RingBufferAdaptive(const RingBufferAdaptive&) = delete;
    RingBufferAdaptive& operator=(const RingBufferAdaptive&) = delete;

    // Appends `length` bytes; never refuses, blocks only on the buffer's mutex. Writer only.
    // Not analysed: the analysis cannot see that data_, capacity_ and the positions change
    // only on the writer's thread (or where it cannot run), which therefore reads them
    // without the lock.
    void push(const std::uint8_t* source, std::int32_t length) NO_THREAD_SAFETY_ANALYSIS;
    // Copies one chunk into `chunkOut` (chunkSize bytes, owned by the reader) and returns true,
    // or returns false when less than a chunk is unread. Copying under the mutex keeps the
    // chunk valid across a growth on the writer's thread. Reader only.
    bool pop(std::uint8_t* chunkOut) EXCLUDES(mutex_);
    // Unread bytes; a snapshot that needs no lock.
    std::int32_t available() const { return fill_.load(std::memory_order_acquire); }

    // Frees the storage of an empty buffer and returns true; false (and nothing changes) while
    // bytes are unread. The next write takes new storage of the same capacity. It replaces
    // what the writer uses without the lock, so no push may run meanwhile: call it on the
    // writer's thread or under a lock that the writer holds around every push.
    bool releaseStorage() EXCLUDES(mutex_);
    // Whether storage is held at the moment; any thread.
    bool holdsStorage() const EXCLUDES(mutex_);
    // Makes room for `length` more bytes in one step and without the growth's log line, taking
    // storage if none is held: for a writer about to write that much at once. Writer only.
    void reserve(std::int32_t length) EXCLUDES(mutex_);

    std::int32_t chunkSize() const { return chunkSize_; }
    // Current storage size; reads take the mutex, so any thread may ask.
    std::int32_t capacity() const EXCLUDES(mutex_);

private:
    void grow(std::int32_t length) EXCLUDES(mutex_);
    void rewindIfDrained() EXCLUDES(mutex_);
    void relocate(std::int32_t newCapacity) REQUIRES(mutex_);

    const std::int32_t chunkSize_;
    const std::int32_t growStep_;
    // guards data_, capacity_ and readPos_ against a growth, and every change of fill_. The
    // writer alone changes data_, capacity_ and writePos_ (apart from `releaseStorage`, which
    // the writer cannot overlap), so it reads them without the lock.
    mutable Mutex mutex_;
    std::unique_ptr<std::uint8_t[]> data_ GUARDED_BY(mutex_); // null until the first write
    std::int32_t capacity_ GUARDED_BY(mutex_);
    std::int32_t readPos_ GUARDED_BY(mutex_) = 0;
    std::int32_t writePos_ = 0; // writer only
    std::atomic<std::int32_t> fill_{0};
};

} // namespace vandra
