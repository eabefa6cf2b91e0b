#include "ingest/inputmonitor.h"

#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "inputmonitor";
}

void InputMonitor::setSource(std::string source, std::string interfaceUsed) {
    source_ = std::move(source);
    interfaceUsed_ = std::move(interfaceUsed);
}

void InputMonitor::start(std::int64_t steadyMs, std::int64_t wallMs) {
    lastSteadyMs_ = steadyMs;
    lastWallMs_ = wallMs;
}

void InputMonitor::onDatagram(std::int64_t steadyMs, std::int64_t wallMs) {
    if (stalled_.load(std::memory_order_relaxed)) {
        LOG_LINE << "-- input resumed after " << steadyMs - lastSteadyMs_ << " ms";
        stalled_.store(false, std::memory_order_relaxed);
        stalledSinceMs_.store(0, std::memory_order_relaxed);
    }
    everReceived_ = true;
    lastSteadyMs_ = steadyMs;
    lastWallMs_ = wallMs;
    lastDatagramMs_.store(wallMs, std::memory_order_relaxed);
}

void InputMonitor::onIdle(std::int64_t steadyMs) {
    const std::int64_t silentMs = steadyMs - lastSteadyMs_;
    if (!everReceived_ && !hinted_ && silentMs >= hintDelayMs()) {
        hinted_ = true;
        LOG_LINE << "-- no input: nothing received from " << escapeForLog(source_) << " in "
                 << silentMs << " ms, joined on " << interfaceUsed_
                 << "; check the interface address (the (IFACE) part of source), reverse-path "
                    "filtering (sysctl net.ipv4.conf.*.rp_filter), IGMP snooping without a "
                    "querier on the switch, and a firewall dropping the UDP port";
    }
    if (timeoutMs_ <= 0 || silentMs < timeoutMs_ || stalled_.load(std::memory_order_relaxed)) {
        return;
    }
    // Set before the flag, so a reader that sees the stall also sees when it began.
    stalledSinceMs_.store(lastWallMs_, std::memory_order_relaxed);
    stalled_.store(true, std::memory_order_release);
    if (everReceived_) {
        stalls_.fetch_add(1, std::memory_order_relaxed);
        LOG_LINE << "-- input stalled: no datagram for " << timeoutMs_ << " ms";
    }
}

} // namespace vandra
