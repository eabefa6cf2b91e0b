#pragma once

#include "ingest/leftserver.h"
#include "srt/rightserver.h"
#include "srt/srtlistenparams.h"
#include "srt/statssampler.h"

namespace vandra {

// The one application object: the receiver, the caller registry and the sampler, wired
// together. Built by the entry point, lives for the whole run.
class MainApp {
public:
    MainApp() = default;
    MainApp(const MainApp&) = delete;
    MainApp& operator=(const MainApp&) = delete;

    LeftServer* getLeftServer() { return &leftServer_; }
    RightServer* getRightServer() { return &rightServer_; }

    // Starts the SRT side and the sampler, then gives the calling thread to the receiver.
    // Never returns: every way out ends the process.
    [[noreturn]] void serve(const SrtListenParams& srt);
    // The stop on SIGINT or SIGTERM: says so, closes every caller's connection so that players
    // see the end at once, then ends the process (closing the recording) with 128 + signal.
    // On the signal watcher's stop thread.
    [[noreturn]] void stop(int signal);

private:
    RightServer rightServer_;
    LeftServer leftServer_{rightServer_};
    StatsSampler sampler_{leftServer_, rightServer_};
};

} // namespace vandra
