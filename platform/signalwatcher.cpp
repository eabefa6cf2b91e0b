#include "platform/signalwatcher.h"

#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace vandra::platform {

namespace {
sigset_t shutdownSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
} // namespace

void SignalWatcher::blockShutdownSignals() {
    const sigset_t set = shutdownSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A caller or browser that goes away must not kill the process through a write.
    std::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::~SignalWatcher() {
    if (thread_ && thread_->joinable()) {
        thread_->detach();
    }
}

void SignalWatcher::start(std::function<void()> onTick, std::function<void(int)> onSignal) {
    onTick_ = std::move(onTick);
    onSignal_ = std::move(onSignal);
    thread_ = std::make_unique<std::thread>(&SignalWatcher::run, this);
}

void SignalWatcher::run() {
    const sigset_t set = shutdownSignals();
    const timespec tick{1, 0};
    for (;;) {
        const int signal = sigtimedwait(&set, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM) {
            onSignal_(signal);
            ::_exit(128 + signal);
        }
        onTick_();
    }
}

} // namespace vandra::platform
