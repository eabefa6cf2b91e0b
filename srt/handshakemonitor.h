#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/mutex.h"
#include "srt/accesspolicy.h"

struct sockaddr;

namespace vandra {

// Why a connection request did not become a caller, as metrics label it.
enum class RefusalReason : std::uint8_t {
    Limit,      // the access rules: too many callers
    Address,    // the access rules: an address outside the allowed networks
    User,       // the access rules or libsrt: an unknown user, or not that user's passphrase
    Program,    // a programme the input does not carry
    Passphrase, // libsrt refused it: wrong passphrase, or none where one is needed
    Handshake,  // refused by libsrt for another reason, or never completed
};
inline constexpr std::array kRefusalReasons{RefusalReason::Limit,      RefusalReason::Address,
                                            RefusalReason::User,       RefusalReason::Program,
                                            RefusalReason::Passphrase, RefusalReason::Handshake};
// "limit", "address", "user", "program", "passphrase", "handshake".
const char* refusalReasonCode(RefusalReason reason);
RefusalReason refusalReasonOf(AccessRefusal refusal);
inline bool isAccessRefusal(RefusalReason reason) {
    return reason == RefusalReason::Limit || reason == RefusalReason::Address ||
           reason == RefusalReason::User || reason == RefusalReason::Program;
}

// Watches connection requests at the SRT listener so that a caller retrying a refused
// handshake cannot flood the log: while an address is being refused, the listen hook's line is
// written for its first request in every 10 s only, and requests that do not become callers
// (refused by libsrt, e.g. a wrong passphrase, or given up) are reported at most once per 10 s
// per address, with the reason and how many were held back. Also takes libsrt's own log
// messages, which would otherwise go to standard error for every attempt. Counts the callers
// the access rules turned away, by reason, and the requests let through that have not become
// callers yet (for the caller limit). Thread safe.
class HandshakeMonitor {
public:
    static constexpr std::int64_t kIntervalMs = 10'000;

    // The listen hook saw a request; true when its line should be logged now. `user` is the
    // name whose passphrase the request must bring, if any: libsrt refusing it then counts
    // as a refusal for the user.
    bool onRequest(std::int32_t socket, const sockaddr* peer, std::int64_t nowMs,
                   const std::string& user = "") EXCLUDES(mutex_);
    // The request became a caller.
    void onAccepted(std::int32_t socket) EXCLUDES(mutex_);
    // The request was refused, by libsrt or by the server; `text` is shown to the operator.
    // Refusals by the access rules are counted even when the request was not being watched.
    void onRefused(std::int32_t socket, RefusalReason reason, const std::string& text,
                   std::int64_t nowMs) EXCLUDES(mutex_);
    // Reports requests that neither became callers nor were refused within a few seconds.
    void expire(std::int64_t nowMs) EXCLUDES(mutex_);
    // One message from libsrt's own log.
    void onLibraryMessage(int level, const std::string& message, std::int64_t nowMs)
        EXCLUDES(mutex_);

    // Since the start; any thread.
    std::uint64_t accepted() const { return accepted_.load(std::memory_order_relaxed); }
    std::uint64_t refused(RefusalReason reason) const {
        return refused_[static_cast<std::size_t>(reason)].load(std::memory_order_relaxed);
    }
    // Requests being watched that neither became callers nor were refused yet.
    std::size_t pendingCount() const EXCLUDES(mutex_);

    // Routes libsrt's log into `monitor`; call once before the listener starts.
    static void takeLibraryLog(HandshakeMonitor& monitor);
    // Gives libsrt's log back to standard error (before the monitor goes away).
    static void releaseLibraryLog();

private:
    struct Pending {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        std::int64_t sinceMs = 0;
        std::string user; // whose passphrase libsrt checks
    };
    struct Source {
        std::int64_t hookLoggedMs = -kIntervalMs;
        std::int64_t refusalLoggedMs = -kIntervalMs;
        std::int64_t refusedMs = -kIntervalMs;
        std::int64_t refusalsHeld = 0;
        std::int64_t lastSeenMs = 0;
    };

    void reportRefusal(const Pending& request, RefusalReason reason, const std::string& text,
                       std::int64_t nowMs) REQUIRES(mutex_);
    // The entry of an address; beyond the bound, addresses share one entry.
    Source& sourceFor(std::uint32_t address, std::int64_t nowMs) REQUIRES(mutex_);

    void count(RefusalReason reason) {
        refused_[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
    }

    // guards everything below
    mutable Mutex mutex_;
    std::unordered_map<std::int32_t, Pending> pending_ GUARDED_BY(mutex_);
    std::unordered_map<std::uint32_t, Source> sources_ GUARDED_BY(mutex_);
    std::int64_t libraryLoggedMs_ GUARDED_BY(mutex_) = -kIntervalMs;
    std::int64_t libraryHeld_ GUARDED_BY(mutex_) = 0;
    std::atomic<std::uint64_t> accepted_{0};
    std::array<std::atomic<std::uint64_t>, kRefusalReasons.size()> refused_{};
};

} // namespace vandra
