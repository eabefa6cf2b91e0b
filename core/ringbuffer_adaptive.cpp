#include "core/ringbuffer_adaptive.h"

#include <algorithm>
#include <cstring>
#include <iterator>

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
    return !blocks_.empty();
}

void RingBufferAdaptive::push(const std::uint8_t* source, std::int32_t length) {
    if (length <= 0) {
        return;
    }
    if (blocks_.empty()) {
        auto storage = uninitialisedStorage(capacity_);
        MutexLock lock(mutex_);
        blocks_.push_back({storage.get(), capacity_});
        storage_.push_back(std::move(storage));
    } else {
        rewindIfDrained();
    }
    // Only this thread changes the capacity and the write position, and fill_ only shrinks
    // behind our back, so the free space seen here can only be an underestimate.
    if (capacity_ - fill_.load(std::memory_order_acquire) < length) {
        grow(length);
    }
    copyIn(source, length);
    // The bytes are in place before the reader can see them counted.
    MutexLock lock(mutex_);
    fill_.fetch_add(length, std::memory_order_release);
}

void RingBufferAdaptive::copyIn(const std::uint8_t* source, std::int32_t length) {
    while (length > 0) {
        if (write_.offset == blocks_[write_.block].size) {
            write_.block = (write_.block + 1) % blocks_.size();
            write_.offset = 0;
        }
        const Block& block = blocks_[write_.block];
        const std::int32_t run = std::min(length, block.size - write_.offset);
        std::memcpy(block.data + write_.offset, source, static_cast<size_t>(run));
        write_.offset += run;
        source += run;
        length -= run;
    }
}

void RingBufferAdaptive::rewindIfDrained() {
    // Only this thread makes fill_ grow, so once it is 0 the reader cannot pop until we
    // write; the lock waits out a pop that is just finishing.
    if ((write_.block == 0 && write_.offset == 0) || fill_.load(std::memory_order_acquire) != 0) {
        return;
    }
    MutexLock lock(mutex_);
    read_ = {};
    write_ = {};
}

bool RingBufferAdaptive::releaseStorage(Storage* keep) {
    Storage released;
    {
        MutexLock lock(mutex_);
        if (fill_.load(std::memory_order_relaxed) != 0) {
            return false;
        }
        released = std::move(storage_);
        storage_.clear();
        blocks_.clear();
        read_ = {};
        write_ = {};
    }
    if (keep != nullptr) {
        std::move(released.begin(), released.end(), std::back_inserter(*keep));
    }
    return true; // anything not kept is freed here, outside the lock
}

void RingBufferAdaptive::clear() {
    MutexLock lock(mutex_);
    fill_.store(0, std::memory_order_release);
    read_ = {};
    write_ = {};
}

void RingBufferAdaptive::grow(std::int32_t length) {
    const std::int32_t added = growStep_ < length ? 2 * length : growStep_;
    auto storage = uninitialisedStorage(added);
    std::int32_t oldCapacity = 0;
    std::int32_t oldReadPos = 0;
    std::int32_t oldWritePos = 0;
    {
        MutexLock lock(mutex_);
        oldCapacity = capacity_;
        oldReadPos = offsetOf(read_);
        oldWritePos = offsetOf(write_);
        insertAtWriter(std::move(storage), added);
    }
    LOG_LINE << "-- CRITICAL SIZE NEED REALLOC " << oldCapacity << " " << oldReadPos << " "
             << oldWritePos << " " << length;
}

void RingBufferAdaptive::reserve(std::int32_t length, std::int32_t touch) {
    const std::int32_t unread = fill_.load(std::memory_order_relaxed);
    if (capacity_ - unread >= length) {
        return;
    }
    const bool empty = blocks_.empty();
    const std::int32_t added = empty ? length : unread + length - capacity_;
    auto storage = uninitialisedStorage(added);
    std::memset(storage.get(), 0, static_cast<size_t>(touch < 0 ? added : std::min(touch, added)));
    MutexLock lock(mutex_);
    if (empty) {
        blocks_.push_back({storage.get(), added});
        storage_.push_back(std::move(storage));
        capacity_ = added;
    } else {
        insertAtWriter(std::move(storage), added);
    }
}

// The new block goes right after the newest byte, so that the writer fills it before it
// comes to the free space it had ahead; a block the writer is inside is split there.
void RingBufferAdaptive::insertAtWriter(std::unique_ptr<std::uint8_t[]> storage,
                                        std::int32_t size) {
    const bool drained = fill_.load(std::memory_order_relaxed) == 0;
    const Block inserted{storage.get(), size};
    storage_.push_back(std::move(storage));
    capacity_ += size;
    const std::size_t at = write_.block;
    const Block current = blocks_[at];
    std::size_t index = at;
    if (write_.offset == current.size) {
        index = at + 1;
    } else if (write_.offset > 0) {
        const std::int32_t split = write_.offset;
        blocks_[at].size = split;
        blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(at) + 1,
                       {current.data + split, current.size - split});
        index = at + 1;
        if (read_.block == at && read_.offset >= split) {
            read_ = {at + 1, read_.offset - split};
        } else if (read_.block > at) {
            ++read_.block;
        }
    }
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(index), inserted);
    if (read_.block >= index) {
        ++read_.block;
    }
    write_ = {index, 0};
    if (drained) {
        read_ = write_;
    }
}

std::int32_t RingBufferAdaptive::offsetOf(Position position) const {
    std::int32_t offset = position.offset;
    for (std::size_t i = 0; i < position.block; ++i) {
        offset += blocks_[i].size;
    }
    return offset;
}

bool RingBufferAdaptive::pop(std::uint8_t* chunkOut) {
    MutexLock lock(mutex_);
    if (fill_.load(std::memory_order_relaxed) < chunkSize_) {
        return false;
    }
    for (std::int32_t copied = 0; copied < chunkSize_;) {
        const Block& block = blocks_[read_.block];
        const std::int32_t run = std::min(chunkSize_ - copied, block.size - read_.offset);
        std::memcpy(chunkOut + copied, block.data + read_.offset, static_cast<size_t>(run));
        copied += run;
        read_.offset += run;
        if (read_.offset == block.size) {
            read_ = {(read_.block + 1) % blocks_.size(), 0};
        }
    }
    fill_.fetch_sub(chunkSize_, std::memory_order_release);
    return true;
}

} // namespace vandra
