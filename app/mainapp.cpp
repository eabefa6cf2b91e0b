#include "app/mainapp.h"

#include "core/processexit.h"

namespace vandra {

namespace {
constexpr int kFatalStatus = -1;
}

void MainApp::serve(const SrtListenParams& srt) {
    if (!rightServer_.start(srt)) {
        pauseConsole();
        exitProcess(kFatalStatus);
    }
    sampler_.start();
    leftServer_.serve();
}

} // namespace vandra
