#include "app/mainapp.h"

#include "core/logger.h"
#include "core/processexit.h"
#include "platform/signalwatcher.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "main";
constexpr int kFatalStatus = -1;
constexpr int kSignalStatusBase = 128;
} // namespace

void MainApp::serve(const SrtListenParams& srt) {
    if (!rightServer_.start(srt)) {
        pauseConsole();
        exitProcess(kFatalStatus);
    }
    sampler_.start();
    leftServer_.serve();
}

void MainApp::stop(int signal) {
    LOG_LINE << "-- stopping on " << platform::SignalWatcher::nameOf(signal) << ": "
             << rightServer_.activeClientCount() << " callers";
    rightServer_.closeCallersForStop();
    exitProcess(kSignalStatusBase + signal);
}

} // namespace vandra
