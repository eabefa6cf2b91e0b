#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace vandra {

// Chooses which of two inputs of the same stream feeds the callers: the main input while it
// delivers, the backup once the main one has been silent for the failover timeout, and the main
// one again once it has delivered without such a silence for the failback delay (0: never).
// Fed with times only, so that it owns no thread and no clock; one thread at a time.
class InputSwitch {
public:
    static constexpr int kMain = 0;
    static constexpr int kBackup = 1;
    static constexpr int kPaths = 2;

    enum class Change : std::uint8_t { PathDown, PathUp, Switched };
    // `path` went down or up, or became the active one; `reason` says why, for the log.
    using Listener = std::function<void(Change change, int path, const std::string& reason)>;

    InputSwitch(std::int64_t failoverTimeoutMs, std::int64_t failbackDelayMs, Listener listener);

    // Both paths count as up from `nowMs`: each has the failover timeout to send its first
    // datagram before it counts as down.
    void start(std::int64_t nowMs);
    // A datagram arrived on `path`; true when it belongs to the stream (it came on the path that
    // is active once this datagram is accounted for).
    bool onDatagram(int path, std::int64_t nowMs);
    // A wait for a datagram ended without one: timeouts are checked.
    void onIdle(std::int64_t nowMs);

    int active() const { return active_; }
    bool down(int path) const { return paths_[path].down; }
    std::int64_t switches() const { return switches_; }

private:
    struct Path {
        bool down = false;
        std::int64_t lastMs = 0;
        std::int64_t upSinceMs = 0; // first datagram after the latest silence
    };

    void markSilentPathsDown(std::int64_t nowMs);
    void chooseActive(std::int64_t nowMs);
    void switchTo(int path, const std::string& reason);

    const std::int64_t failoverTimeoutMs_;
    const std::int64_t failbackDelayMs_;
    Listener listener_;
    std::array<Path, kPaths> paths_{};
    int active_ = kMain;
    std::int64_t switches_ = 0;
};

} // namespace vandra
