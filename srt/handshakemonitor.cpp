#include "srt/handshakemonitor.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <vector>

#include <srt/srt.h>

#include "core/clock.h"
#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "handshakemonitor";
// A request that has neither been accepted nor refused by then was given up by the caller.
constexpr std::int64_t kGiveUpMs = 5000;
// Bounds for what a flood of requests from many addresses can make us hold.
constexpr std::size_t kMaxPending = 4096;
constexpr std::size_t kMaxSources = 4096;

std::string addressText(std::uint32_t address, std::uint16_t port) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &in, text, sizeof(text)) == nullptr) {
        return "?";
    }
    return std::string(text) + ":" + std::to_string(port);
}

// libsrt says why it refused in its log, next to the new socket's id:
// "@123:newConnection: connection rejected due to: INTERNAL REJECTION - ERROR:BADSECRET".
bool parseRejection(const std::string& message, std::int32_t& socket, RefusalReason& why,
                    std::string& reason) {
    const std::string marker = ":newConnection: connection rejected due to: ";
    const std::size_t at = message.find(marker);
    const std::size_t id = message.rfind('@', at);
    if (at == std::string::npos || id == std::string::npos) {
        return false;
    }
    socket = static_cast<std::int32_t>(std::strtol(message.c_str() + id + 1, nullptr, 10));
    reason = message.substr(at + marker.size());
    why = RefusalReason::Passphrase;
    if (reason.find("BADSECRET") != std::string::npos) {
        reason = "wrong passphrase";
    } else if (reason.find("UNSECURE") != std::string::npos) {
        reason = "no passphrase, or one where none is expected";
    } else {
        why = RefusalReason::Handshake;
    }
    return true;
}

void libraryLogHandler(void* opaque, int level, const char* /*file*/, int /*line*/,
                       const char* /*function*/, const char* message) {
    static_cast<HandshakeMonitor*>(opaque)->onLibraryMessage(
        level, message != nullptr ? message : "", steadyMs());
}
} // namespace

const char* refusalReasonCode(RefusalReason reason) {
    switch (reason) {
    case RefusalReason::Limit:
        return "limit";
    case RefusalReason::Address:
        return "address";
    case RefusalReason::User:
        return "user";
    case RefusalReason::Program:
        return "program";
    case RefusalReason::Passphrase:
        return "passphrase";
    case RefusalReason::Handshake:
        break;
    }
    return "handshake";
}

RefusalReason refusalReasonOf(AccessRefusal refusal) {
    switch (refusal) {
    case AccessRefusal::Limit:
        return RefusalReason::Limit;
    case AccessRefusal::Address:
        return RefusalReason::Address;
    case AccessRefusal::Program:
        return RefusalReason::Program;
    case AccessRefusal::User:
        break;
    }
    return RefusalReason::User;
}

void HandshakeMonitor::takeLibraryLog(HandshakeMonitor& monitor) {
    srt_setlogflags(SRT_LOGF_DISABLE_TIME | SRT_LOGF_DISABLE_THREADNAME | SRT_LOGF_DISABLE_EOL);
    srt_setloghandler(&monitor, &libraryLogHandler);
}

void HandshakeMonitor::releaseLibraryLog() {
    srt_setloghandler(nullptr, nullptr);
}

bool HandshakeMonitor::onRequest(std::int32_t socket, const sockaddr* peer, std::int64_t nowMs,
                                 const std::string& user) {
    Pending request;
    request.sinceMs = nowMs;
    request.user = user;
    if (peer != nullptr && peer->sa_family == AF_INET) {
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(peer);
        request.address = ipv4->sin_addr.s_addr;
        request.port = ntohs(ipv4->sin_port);
    }
    MutexLock lock(mutex_);
    if (pending_.size() < kMaxPending) {
        pending_[socket] = request;
    }
    Source& source = sourceFor(request.address, nowMs);
    // Only an address whose requests were refused lately is quietened; callers that connect
    // fine are all logged.
    if (nowMs - source.refusedMs < kIntervalMs && nowMs - source.hookLoggedMs < kIntervalMs) {
        return false;
    }
    source.hookLoggedMs = nowMs;
    return true;
}

void HandshakeMonitor::onAccepted(std::int32_t socket) {
    accepted_.fetch_add(1, std::memory_order_relaxed);
    MutexLock lock(mutex_);
    pending_.erase(socket);
}

void HandshakeMonitor::onRefused(std::int32_t socket, RefusalReason reason, const std::string& text,
                                 std::int64_t nowMs) {
    MutexLock lock(mutex_);
    const auto found = pending_.find(socket);
    if (found == pending_.end()) {
        // Only the server's own refusals: libsrt also reports the requests the hook refused.
        if (isAccessRefusal(reason)) {
            count(reason);
        }
        return;
    }
    const Pending request = found->second;
    pending_.erase(found);
    if (!request.user.empty() && !isAccessRefusal(reason)) {
        // libsrt refused a request that had to bring a user's passphrase.
        reportRefusal(request, RefusalReason::User, text + " for user " + request.user, nowMs);
        return;
    }
    reportRefusal(request, reason, text, nowMs);
}

std::size_t HandshakeMonitor::pendingCount() const {
    MutexLock lock(mutex_);
    return pending_.size();
}

void HandshakeMonitor::expire(std::int64_t nowMs) {
    MutexLock lock(mutex_);
    std::vector<Pending> givenUp;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (nowMs - it->second.sinceMs >= kGiveUpMs) {
            givenUp.push_back(it->second);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    for (const Pending& request : givenUp) {
        reportRefusal(request, RefusalReason::Handshake, "handshake not completed", nowMs);
    }
}

void HandshakeMonitor::reportRefusal(const Pending& request, RefusalReason reason,
                                     const std::string& text, std::int64_t nowMs) {
    count(reason);
    Source& source = sourceFor(request.address, nowMs);
    source.refusedMs = nowMs;
    if (nowMs - source.refusalLoggedMs < kIntervalMs) {
        ++source.refusalsHeld;
        return;
    }
    LOG_LINE << "-- caller " << addressText(request.address, request.port)
             << " not connected: " << escapeForLog(text) << " (" << source.refusalsHeld
             << " more from this address in the previous 10 s)";
    source.refusalLoggedMs = nowMs;
    source.refusalsHeld = 0;
}

void HandshakeMonitor::onLibraryMessage(int level, const std::string& message, std::int64_t nowMs) {
    std::int32_t socket = 0;
    RefusalReason why = RefusalReason::Handshake;
    std::string reason;
    if (parseRejection(message, socket, why, reason)) {
        onRefused(socket, why, reason, nowMs);
        return;
    }
    // The rest of a handshake's story ("!W:SRT.cn: ..."): the refusal line above tells it.
    if (message.find("SRT.cn:") != std::string::npos) {
        return;
    }
    MutexLock lock(mutex_);
    if (nowMs - libraryLoggedMs_ < kIntervalMs) {
        ++libraryHeld_;
        return;
    }
    LOG_LINE << "-- srt (level " << level << "): " << escapeForLog(message) << " (" << libraryHeld_
             << " more messages in the previous 10 s)";
    libraryLoggedMs_ = nowMs;
    libraryHeld_ = 0;
}

HandshakeMonitor::Source& HandshakeMonitor::sourceFor(std::uint32_t address, std::int64_t nowMs) {
    if (sources_.size() >= kMaxSources && sources_.count(address) == 0) {
        for (auto it = sources_.begin(); it != sources_.end();) {
            it = nowMs - it->second.lastSeenMs >= kIntervalMs ? sources_.erase(it) : std::next(it);
        }
        if (sources_.size() >= kMaxSources) {
            address = 0; // a flood from many addresses shares one entry
        }
    }
    Source& source = sources_[address];
    source.lastSeenMs = nowMs;
    return source;
}

} // namespace vandra
