#include "platform/signalwatcher.h"

#include <csignal>
#include <pthread.h>
#include <unistd.h>

namespace vandra::platform {

namespace {
sigset_t shutdownSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}
} // namespace

void SignalWatcher::blockShutdownSignals() {
    const sigset_t set = shutdownSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A caller or browser that goes away must not kill the process through a write.
    std::signal(SIGPIPE, SIG_IGN);
}

std::string SignalWatcher::nameOf(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(signal);
    }
}

SignalWatcher::~SignalWatcher() {
    for (std::unique_ptr<std::thread>* thread : {&thread_, &stopper_}) {
        if (*thread && (*thread)->joinable()) {
            (*thread)->detach();
        }
    }
}

void SignalWatcher::start(std::function<void(int)> onSignal, std::function<void()> onReload) {
    onSignal_ = std::move(onSignal);
    onReload_ = std::move(onReload);
    thread_ = std::make_unique<std::thread>(&SignalWatcher::run, this);
}

void SignalWatcher::run() {
    const sigset_t set = shutdownSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) {
            continue;
        }
        if (signal == SIGHUP) {
            // Here, one at a time: a second SIGHUP meanwhile waits, and one stands for many.
            if (onReload_ && !stopper_) {
                onReload_();
            }
            continue;
        }
        if (signal != SIGINT && signal != SIGTERM) {
            continue;
        }
        if (stopper_) {
            ::_exit(128 + signal);
        }
        stopper_ = std::make_unique<std::thread>(&SignalWatcher::stop, this, signal);
    }
}

void SignalWatcher::stop(int signal) {
    onSignal_(signal);
    ::_exit(128 + signal);
}

} // namespace vandra::platform
