#pragma once

#include <functional>

namespace vandra {

// What must be done before the process ends on any path (closing the recording). Set once at
// start-up, before other threads exist.
void setExitCleanup(std::function<void()> cleanup);

// On a terminal, waits for a key press after the log lines so far are written out (at most a
// second), so that the prompt follows the message that explains it.
void pauseConsole();

// Runs the cleanup, writes out the log (waiting at most a second) and ends the process at once with
// `status`. Static destructors are skipped on purpose: once libsrt's threads run (the accept thread
// waiting in srt_accept), its static teardown destroys what they wait on and the exit hangs for
// good.
[[noreturn]] void exitProcess(int status);

} // namespace vandra
