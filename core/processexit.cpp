#include "core/processexit.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "core/logger.h"
#include "platform/platform.h"

namespace vandra {

namespace {
// The log's last lines (what was lost, why the process ends) are worth a moment; a log output
// that is blocked for good must not hold the exit.
constexpr auto kLogFlushBound = std::chrono::seconds(1);

std::function<void()>& cleanupAction() {
    static std::function<void()> action;
    return action;
}
} // namespace

void setExitCleanup(std::function<void()> cleanup) {
    cleanupAction() = std::move(cleanup);
}

void pauseConsole() {
    flushLog(kLogFlushBound);
    platform::consolePause();
}

void exitProcess(int status) {
    if (const auto& cleanup = cleanupAction()) {
        cleanup();
    }
    flushLog(kLogFlushBound);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

} // namespace vandra
