#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/mutex.h"

namespace vandra {

// Lets each client address report a few events per interval in full; one that sends more is
// limited to one report per interval, carrying the count held back since its last one, until
// it stays within the few for a whole interval. So a flood of requests cannot flood the log.
// Thread safe.
class AddressRateLimiter {
public:
    AddressRateLimiter(int burst, std::int64_t intervalMs, std::size_t maxAddresses)
        : burst_(burst), intervalMs_(intervalMs), maxAddresses_(maxAddresses) {}

    // The number of events of `address` held back before this one when it may be reported
    // now; nothing when it is held back too.
    std::optional<std::int64_t> allow(const std::string& address, std::int64_t nowMs)
        EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        Client& client = clientFor(address, nowMs);
        if (nowMs - client.windowStartMs >= intervalMs_) {
            const bool quietWindowPassed = nowMs - client.windowStartMs >= 2 * intervalMs_;
            client.limited = !quietWindowPassed && client.inWindow > burst_;
            client.windowStartMs = nowMs;
            client.inWindow = 0;
        }
        ++client.inWindow;
        if (client.inWindow > burst_) {
            client.limited = true;
        }
        if (client.limited && nowMs - client.lastReportMs < intervalMs_) {
            ++client.held;
            return std::nullopt;
        }
        client.lastReportMs = nowMs;
        const std::int64_t held = client.held;
        client.held = 0;
        return held;
    }

private:
    struct Client {
        std::int64_t windowStartMs = 0;
        int inWindow = 0; // events since windowStartMs
        bool limited = false;
        std::int64_t lastReportMs = 0;
        std::int64_t held = 0; // since lastReportMs
    };

    // Addresses not heard from for two intervals are forgotten when the table is full; when
    // it is still full, the newcomers share one entry.
    Client& clientFor(const std::string& address, std::int64_t nowMs) REQUIRES(mutex_) {
        if (auto found = clients_.find(address); found != clients_.end()) {
            return found->second;
        }
        if (clients_.size() >= maxAddresses_) {
            std::erase_if(clients_, [&](const auto& entry) {
                return nowMs - entry.second.windowStartMs >= 2 * intervalMs_;
            });
        }
        const std::string& key = clients_.size() >= maxAddresses_ ? kOverflow : address;
        auto [entry, added] = clients_.try_emplace(key);
        if (added) {
            entry->second.windowStartMs = nowMs;
            entry->second.lastReportMs = nowMs - intervalMs_;
        }
        return entry->second;
    }

    static inline const std::string kOverflow{};

    const int burst_;
    const std::int64_t intervalMs_;
    const std::size_t maxAddresses_;
    // guards the table
    Mutex mutex_;
    std::unordered_map<std::string, Client> clients_ GUARDED_BY(mutex_);
};

} // namespace vandra
