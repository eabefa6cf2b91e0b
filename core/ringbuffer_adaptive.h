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
class RingBufferAdaptive {
public:
    RingBufferAdaptive(std::int32_t chunkSize, std::int32_t chunkCount);
    RingBufferAdaptive(const RingBufferAdaptive&) = delete;
    RingBufferAdaptive& operator=(const RingBufferAdaptive&) = delete;

    // Appends `length` bytes; never refuses, blocks only on the buffer's mutex. Writer only.
    // Not analysed: the analysis cannot see that data_ and capacity_ change only on the writer's
    // thread, which therefore reads them without the lock.
    void push(const std::uint8_t* source, std::int32_t length) NO_THREAD_SAFETY_ANALYSIS;
    // Copies one chunk into `chunkOut` (chunkSize bytes, owned by the reader) and returns true,
    // or returns false when less than a chunk is unread. Copying under the mutex keeps the
    // chunk valid across a growth on the writer's thread. Reader only.
    bool pop(std::uint8_t* chunkOut) EXCLUDES(mutex_);
    // Unread bytes; a snapshot that needs no lock.
    std::int32_t available() const { return fill_.load(std::memory_order_acquire); }

    // Makes room for `length` more bytes in one step and without the growth's log line: for a
    // writer about to write that much at once. Writer only.
    void reserve(std::int32_t length) EXCLUDES(mutex_);

    std::int32_t chunkSize() const { return chunkSize_; }
    // Current storage size; reads take the mutex, so any thread may ask.
    std::int32_t capacity() const EXCLUDES(mutex_);

private:
    void grow(std::int32_t length) EXCLUDES(mutex_);
    void relocate(std::int32_t newCapacity) REQUIRES(mutex_);

    const std::int32_t chunkSize_;
    const std::int32_t growStep_;
    // guards data_, capacity_ and readPos_ against a growth, and every change of fill_. The
    // writer alone changes data_ and capacity_, so it reads them without the lock.
    mutable Mutex mutex_;
    std::unique_ptr<std::uint8_t[]> data_ GUARDED_BY(mutex_);
    std::int32_t capacity_ GUARDED_BY(mutex_);
    std::int32_t readPos_ GUARDED_BY(mutex_) = 0;
    std::int32_t writePos_ = 0; // writer only
    std::atomic<std::int32_t> fill_{0};
};

} // namespace vandra
