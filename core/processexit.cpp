#include "core/processexit.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace vandra {

namespace {
std::function<void()>& cleanupAction() {
    static std::function<void()> action;
    return action;
}
} // namespace

void setExitCleanup(std::function<void()> cleanup) {
    cleanupAction() = std::move(cleanup);
}

void exitProcess(int status) {
    if (const auto& cleanup = cleanupAction()) {
        cleanup();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

} // namespace vandra
