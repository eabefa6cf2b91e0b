#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>

namespace vandra {

// The web port's open connections, by peer address, and which one must go when a new one
// would exceed a limit: from the same address if that address is at its own limit; among the
// candidates, one that never finished a request before one that did, then one from the
// address holding the most, then the one idle longest. Only connections between requests (or
// not yet through their request header) are idle; one being answered is never chosen. A flood
// of new connections that never finish a request thus turns over among itself, a crowd spread
// over many addresses does not push out a newcomer from another before its request arrives,
// and a scraper between two requests keeps its connection. Not thread safe: one event loop
// owns it.
class ConnectionBook {
public:
    struct Limits {
        std::size_t total = 0;
        std::size_t perAddress = 0;
    };

    explicit ConnectionBook(Limits limits) : limits_(limits) {}

    // A connection from `address` (IPv4, host order) is about to be accepted: the descriptor
    // of one to close first, if a limit is reached. That one counts as leaving from now on and
    // is not chosen again.
    std::optional<int> makeRoomFor(std::uint32_t address);

    void opened(const void* connection, std::uint32_t address, int fd, std::int64_t nowMs);
    void closed(const void* connection);
    void requestStarted(const void* connection);
    void requestEnded(const void* connection, std::int64_t nowMs);

    std::size_t size() const { return entries_.size(); }
    std::size_t countFrom(std::uint32_t address) const;

private:
    struct Entry {
        std::uint32_t address = 0;
        int fd = -1;
        std::int64_t idleSinceMs = 0;
        bool busy = false;
        bool leaving = false;
        bool served = false; // finished a request
    };

    std::optional<int> evictOldestIdle(std::optional<std::uint32_t> fromAddress);
    bool goesBefore(const Entry& one, const Entry& other) const;

    const Limits limits_;
    std::unordered_map<const void*, Entry> entries_;
    std::unordered_map<std::uint32_t, std::size_t> perAddress_;
};

} // namespace vandra
