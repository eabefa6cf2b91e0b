#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/signalwatcher.h"

namespace vandra::platform {
namespace {

using namespace std::chrono_literals;

// Waits up to 10 s for `flag`; the bound keeps a broken watcher from hanging the test.
bool waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 1000 && !flag; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return flag;
}

// Guards a stop that hangs (a stalled disk, a blocked log) making the process deaf to a
// second SIGTERM: the operator's second signal must end it at once with 128 + signal.
TEST(SignalWatcher, ASecondSignalDuringTheStopEndsTheProcessAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SignalWatcher::blockShutdownSignals();
            static std::atomic<bool> stopping{false};
            static std::atomic<bool> released{false};
            SignalWatcher watcher;
            watcher.start([](int) {
                stopping = true;
                waitFor(released); // a stop that never finishes
                std::_Exit(3);
            });
            ::kill(::getpid(), SIGTERM);
            if (!waitFor(stopping)) {
                std::_Exit(2);
            }
            ::kill(::getpid(), SIGTERM);
            waitFor(released);
            std::_Exit(4);
        },
        ::testing::ExitedWithCode(128 + SIGTERM), "");
}

} // namespace
} // namespace vandra::platform
