#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vandra::platform {

// Takes SIGINT, SIGTERM and SIGHUP on a thread of its own instead of in an asynchronous
// handler, so that work done on the way out (closing the recording) or on a reload may take
// locks.
class SignalWatcher {
public:
    // Must run before any other thread exists, so that every thread inherits the mask.
    static void blockShutdownSignals();
    // "SIGINT", "SIGTERM", "SIGHUP", or "signal N" for any other.
    static std::string nameOf(int signal);

    SignalWatcher() = default;
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // `onSignal` runs once with the signal number, on a thread of its own, and is expected to
    // end the process; if it returns, the process exits with status 128 + signal number. A
    // second signal meanwhile ends the process at once: the operator means it. `onReload`
    // (may be empty: SIGHUP is then ignored) runs on the watcher's thread for each SIGHUP.
    void start(std::function<void(int)> onSignal, std::function<void()> onReload = {});

private:
    void run();
    void stop(int signal);

    std::function<void(int)> onSignal_;
    std::function<void()> onReload_;
    std::unique_ptr<std::thread> thread_;  // never joined: ends with the process
    std::unique_ptr<std::thread> stopper_; // runs onSignal_; never joined either
};

} // namespace vandra::platform
