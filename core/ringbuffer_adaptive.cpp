#include "core/ringbuffer_adaptive.h"

#include <algorithm>
#include <cstring>

#include "core/logger.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "ringbuffer_adaptive";

// Not cleared: large blocks come straight from the system, and pages never written stay
// out of the process's memory.
std::unique_ptr<std::uint8_t[]> uninitialisedStorage(std::int32_t bytes) {
    return std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<size_t>(bytes));
}
} // namespace

RingBufferAdaptive::RingBufferAdaptive(std::int32_t chunkSize, std::int32_t chunkCount)
    : chunkSize_(chunkSize), growStep_(chunkSize * chunkCount), capacity_(chunkSize * chunkCount) {}

std::int32_t RingBufferAdaptive::capacity() const {
    MutexLock lock(mutex_);
    return capacity_;
}

bool RingBufferAdaptive::holdsStorage() const {
    MutexLock lock(mutex_);
    return data_ != nullptr;
}

void RingBufferAdaptive::push(const std::uint8_t* source, std::int32_t length) {
    if (length <= 0) {
        return;
    }
    if (data_ == nullptr) {
        MutexLock lock(mutex_);
        data_ = uninitialisedStorage(capacity_);
    } else {
        rewindIfDrained();
    }
    // Only this thread changes capacity_ and writePos_, and fill_ only shrinks behind our back,
    // so the free space seen here can only be an underestimate.
    if (capacity_ - fill_.load(std::memory_order_acquire) < length) {
        grow(length);
    }
    if (writePos_ == capacity_) {
        writePos_ = 0;
    }
    const std::int32_t tail = std::min(length, capacity_ - writePos_);
    std::memcpy(data_.get() + writePos_, source, static_cast<size_t>(tail));
    const std::int32_t rest = length - tail;
    if (rest > 0) {
        std::memcpy(data_.get(), source + tail, static_cast<size_t>(rest));
        writePos_ = rest;
    } else {
        writePos_ += tail;
    }
    // The bytes are in place before the reader can see them counted.
    MutexLock lock(mutex_);
    fill_.fetch_add(length, std::memory_order_release);
}

void RingBufferAdaptive::rewindIfDrained() {
    // Only this thread makes fill_ grow, so once it is 0 the reader cannot pop until we
    // write; the lock waits out a pop that is just finishing.
    if (writePos_ == 0 || fill_.load(std::memory_order_acquire) != 0) {
        return;
    }
    MutexLock lock(mutex_);
    readPos_ = 0;
    writePos_ = 0;
}

bool RingBufferAdaptive::releaseStorage() {
    std::unique_ptr<std::uint8_t[]> released;
    {
        MutexLock lock(mutex_);
        if (fill_.load(std::memory_order_relaxed) != 0) {
            return false;
        }
        released = std::move(data_);
        readPos_ = 0;
        writePos_ = 0;
    }
    return true; // freed here, outside the lock
}

void RingBufferAdaptive::grow(std::int32_t length) {
    std::int32_t oldCapacity = 0;
    std::int32_t oldReadPos = 0;
    const std::int32_t oldWritePos = writePos_;
    {
        MutexLock lock(mutex_);
        oldCapacity = capacity_;
        oldReadPos = readPos_;
        relocate(growStep_ < length ? capacity_ + 2 * length : capacity_ + growStep_);
    }
    LOG_LINE << "-- CRITICAL SIZE NEED REALLOC " << oldCapacity << " " << oldReadPos << " "
             << oldWritePos << " " << length;
}

void RingBufferAdaptive::reserve(std::int32_t length) {
    MutexLock lock(mutex_);
    const std::int32_t unread = fill_.load(std::memory_order_relaxed);
    if (capacity_ - unread < length) {
        relocate(unread + length);
    }
}

void RingBufferAdaptive::relocate(std::int32_t newCapacity) {
    auto newData = uninitialisedStorage(newCapacity);
    if (data_ == nullptr) {
        data_ = std::move(newData);
        capacity_ = newCapacity;
        return; // no storage, nothing unread: the positions are at the start
    }
    // Lay the unread bytes out oldest first, so a wrapped backlog keeps its order.
    const std::int32_t unread = fill_.load(std::memory_order_relaxed);
    const std::int32_t firstRun = std::min(unread, capacity_ - readPos_);
    std::memcpy(newData.get(), data_.get() + readPos_, static_cast<size_t>(firstRun));
    std::memcpy(newData.get() + firstRun, data_.get(), static_cast<size_t>(unread - firstRun));
    data_ = std::move(newData);
    capacity_ = newCapacity;
    readPos_ = 0;
    writePos_ = unread;
}

bool RingBufferAdaptive::pop(std::uint8_t* chunkOut) {
    MutexLock lock(mutex_);
    if (fill_.load(std::memory_order_relaxed) < chunkSize_) {
        return false;
    }
    // A chunk straddles the end only after a growth by an unusually long write.
    const std::int32_t firstRun = std::min(chunkSize_, capacity_ - readPos_);
    std::memcpy(chunkOut, data_.get() + readPos_, static_cast<size_t>(firstRun));
    std::memcpy(chunkOut + firstRun, data_.get(), static_cast<size_t>(chunkSize_ - firstRun));
    readPos_ += chunkSize_;
    if (readPos_ >= capacity_) {
        readPos_ -= capacity_;
    }
    fill_.fetch_sub(chunkSize_, std::memory_order_release);
    return true;
}

} // namespace vandra
