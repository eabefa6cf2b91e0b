#include "ingest/inputswitch.h"

#include <utility>

namespace vandra {

InputSwitch::InputSwitch(std::int64_t failoverTimeoutMs, std::int64_t failbackDelayMs,
                         Listener listener)
    : failoverTimeoutMs_(failoverTimeoutMs), failbackDelayMs_(failbackDelayMs),
      listener_(std::move(listener)) {}

void InputSwitch::start(std::int64_t nowMs) {
    for (Path& path : paths_) {
        path = Path{false, nowMs, nowMs};
    }
    active_ = kMain;
}

bool InputSwitch::onDatagram(int path, std::int64_t nowMs) {
    Path& current = paths_[path];
    if (current.down) {
        current.down = false;
        current.upSinceMs = nowMs;
        listener_(Change::PathUp, path, "datagrams again");
    }
    current.lastMs = nowMs;
    onIdle(nowMs);
    return path == active_;
}

void InputSwitch::onIdle(std::int64_t nowMs) {
    markSilentPathsDown(nowMs);
    chooseActive(nowMs);
}

void InputSwitch::markSilentPathsDown(std::int64_t nowMs) {
    for (int index = 0; index < kPaths; ++index) {
        Path& path = paths_[index];
        if (!path.down && nowMs - path.lastMs > failoverTimeoutMs_) {
            path.down = true;
            listener_(Change::PathDown, index,
                      "no datagram for " + std::to_string(nowMs - path.lastMs) + " ms");
        }
    }
}

// A path that is down is left for one that is up; the main one is taken back only once it has
// proved steady, so that a flapping main input cannot make the output flap with it.
void InputSwitch::chooseActive(std::int64_t nowMs) {
    const Path& main = paths_[kMain];
    const Path& backup = paths_[kBackup];
    if (active_ == kMain) {
        if (main.down && !backup.down) {
            switchTo(kBackup, "input 1 is down");
        }
        return;
    }
    if (main.down) {
        return;
    }
    if (backup.down) {
        switchTo(kMain, "input 2 is down");
    } else if (failbackDelayMs_ > 0 && nowMs - main.upSinceMs >= failbackDelayMs_) {
        switchTo(kMain, "input 1 delivered steadily for " + std::to_string(nowMs - main.upSinceMs) +
                            " ms");
    }
}

void InputSwitch::switchTo(int path, const std::string& reason) {
    active_ = path;
    ++switches_;
    listener_(Change::Switched, path, reason);
}

} // namespace vandra
