#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace vandra {

// A byte ring that takes writes of any length and hands out fixed-size chunks. When a write
// would reach unread bytes the storage grows (logged) instead of overwriting them.
// One writer thread and one reader thread; `available` may be read from anywhere.
class RingBufferAdaptive {
public:
    RingBufferAdaptive(std::string name, std::int32_t chunkSize, std::int32_t chunkCount);
    RingBufferAdaptive(const RingBufferAdaptive&) = delete;
    RingBufferAdaptive& operator=(const RingBufferAdaptive&) = delete;

    // Appends `length` bytes; never refuses, blocks only on the buffer's mutex. Writer only.
    void push(const std::uint8_t* source, std::int32_t length);
    // Copies one chunk into `chunkOut` (chunkSize bytes, owned by the reader) and returns true,
    // or returns false when less than a chunk is unread. Copying under the mutex keeps the
    // chunk valid across a growth on the writer's thread. Reader only.
    bool pop(std::uint8_t* chunkOut);
    // Unread bytes; a snapshot that needs no lock.
    std::int32_t available() const { return fill_.load(std::memory_order_acquire); }

    std::int32_t chunkSize() const { return chunkSize_; }
    const std::string& name() const { return name_; }
    // Current storage size; reads take the mutex, so any thread may ask.
    std::int32_t capacity() const;

private:
    void grow(std::int32_t length);

    const std::int32_t chunkSize_;
    const std::string name_;
    const std::int32_t growStep_;
    // guards data_, capacity_ and readPos_ against a growth, and every change of fill_
    mutable std::mutex mutex_;
    std::unique_ptr<std::uint8_t[]> data_;
    std::int32_t capacity_;
    std::int32_t readPos_ = 0;
    std::int32_t writePos_ = 0; // writer only
    std::atomic<std::int32_t> fill_{0};
};

} // namespace vandra
