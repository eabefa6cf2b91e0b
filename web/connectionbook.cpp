#include "web/connectionbook.h"

namespace vandra {

std::optional<int> ConnectionBook::makeRoomFor(std::uint32_t address) {
    if (countFrom(address) >= limits_.perAddress) {
        return evictOldestIdle(address);
    }
    if (entries_.size() >= limits_.total) {
        return evictOldestIdle(std::nullopt);
    }
    return std::nullopt;
}

std::optional<int> ConnectionBook::evictOldestIdle(std::optional<std::uint32_t> fromAddress) {
    Entry* victim = nullptr;
    for (auto& [connection, entry] : entries_) {
        if (entry.busy || entry.leaving || (fromAddress && entry.address != *fromAddress)) {
            continue;
        }
        if (victim == nullptr || goesBefore(entry, *victim)) {
            victim = &entry;
        }
    }
    if (victim == nullptr) {
        return std::nullopt;
    }
    victim->leaving = true;
    return victim->fd;
}

bool ConnectionBook::goesBefore(const Entry& one, const Entry& other) const {
    if (one.served != other.served) {
        return !one.served;
    }
    if (one.address != other.address) {
        const std::size_t oneHolds = countFrom(one.address);
        const std::size_t otherHolds = countFrom(other.address);
        if (oneHolds != otherHolds) {
            return oneHolds > otherHolds;
        }
    }
    return one.idleSinceMs < other.idleSinceMs;
}

void ConnectionBook::opened(const void* connection, std::uint32_t address, int fd,
                            std::int64_t nowMs) {
    if (entries_.emplace(connection, Entry{address, fd, nowMs, false, false}).second) {
        ++perAddress_[address];
    }
}

void ConnectionBook::closed(const void* connection) {
    const auto found = entries_.find(connection);
    if (found == entries_.end()) {
        return;
    }
    const auto count = perAddress_.find(found->second.address);
    if (count != perAddress_.end() && --count->second == 0) {
        perAddress_.erase(count);
    }
    entries_.erase(found);
}

void ConnectionBook::requestStarted(const void* connection) {
    const auto found = entries_.find(connection);
    if (found != entries_.end()) {
        found->second.busy = true;
    }
}

void ConnectionBook::requestEnded(const void* connection, std::int64_t nowMs) {
    const auto found = entries_.find(connection);
    if (found != entries_.end()) {
        found->second.busy = false;
        found->second.served = true;
        found->second.idleSinceMs = nowMs;
    }
}

std::size_t ConnectionBook::countFrom(std::uint32_t address) const {
    const auto found = perAddress_.find(address);
    return found == perAddress_.end() ? 0 : found->second;
}

} // namespace vandra
