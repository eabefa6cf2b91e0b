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
    Entry* oldest = nullptr;
    for (auto& [connection, entry] : entries_) {
        if (entry.busy || entry.leaving || (fromAddress && entry.address != *fromAddress)) {
            continue;
        }
        if (oldest == nullptr || (oldest->served && !entry.served) ||
            (oldest->served == entry.served && entry.idleSinceMs < oldest->idleSinceMs)) {
            oldest = &entry;
        }
    }
    if (oldest == nullptr) {
        return std::nullopt;
    }
    oldest->leaving = true;
    return oldest->fd;
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
