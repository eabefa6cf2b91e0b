#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace vandra {

// Watches the input for silence, on the receiver thread: an input that stops for the timeout
// is logged as stalled once, and its return with the length of the gap; an input that never
// arrived gets one hint with what to check. Its state may be read from any thread.
class InputMonitor {
public:
    // A timeout of 0 turns stall detection off; the hint still comes after kHintAfterMs.
    static constexpr std::int64_t kDefaultTimeoutMs = 2000;
    static constexpr std::int64_t kHintAfterMs = 5000;

    void setTimeout(std::int64_t timeoutMs) { timeoutMs_ = timeoutMs; }
    // What the hint names: the group and port, and the interface the join actually used.
    void setSource(std::string source, std::string interfaceUsed);

    // Receiver thread: the loop starts, a datagram arrived, or a wait ended without one.
    void start(std::int64_t steadyMs, std::int64_t wallMs);
    void onDatagram(std::int64_t steadyMs, std::int64_t wallMs);
    void onIdle(std::int64_t steadyMs);

    // Any thread.
    bool stalled() const { return stalled_.load(std::memory_order_acquire); }
    // Wall-clock ms since 1970 when the current stall began (the latest datagram, or the start
    // when none came); 0 when not stalled.
    std::int64_t stalledSinceMs() const { return stalledSinceMs_.load(std::memory_order_relaxed); }
    // Wall-clock ms since 1970 of the latest datagram; 0 before the first.
    std::int64_t lastDatagramMs() const { return lastDatagramMs_.load(std::memory_order_relaxed); }
    std::int64_t stallsTotal() const { return stalls_.load(std::memory_order_relaxed); }

private:
    std::int64_t hintDelayMs() const { return timeoutMs_ > 0 ? timeoutMs_ : kHintAfterMs; }

    std::int64_t timeoutMs_ = kDefaultTimeoutMs;
    std::string source_;
    std::string interfaceUsed_;
    // receiver thread only
    std::int64_t lastSteadyMs_ = 0;
    // the wall time taken with lastSteadyMs_: a stall begins then, never a second reading
    std::int64_t lastWallMs_ = 0;
    bool everReceived_ = false;
    bool hinted_ = false;
    // read by other threads
    std::atomic<bool> stalled_{false};
    std::atomic<std::int64_t> stalledSinceMs_{0};
    std::atomic<std::int64_t> lastDatagramMs_{0};
    std::atomic<std::int64_t> stalls_{0};
};

} // namespace vandra
