#include "srt/statssampler.h"

#include "core/bitratehistory.h"
#include "core/clock.h"
#include "ingest/leftserver.h"
#include "srt/rightserver.h"

namespace vandra {

StatsSampler::~StatsSampler() {
    if (thread_ && thread_->joinable()) {
        thread_->detach();
    }
}

void StatsSampler::start() {
    thread_ = std::make_unique<std::thread>(&StatsSampler::run, this);
}

void StatsSampler::samplePass(std::int64_t steadyMs, std::int64_t wallMs) {
    const std::string time = localTimeText(wallMs, kSampleTimeFormat);
    input_.sampleInput(time, steadyMs);
    callers_.sampleAndReap(time, steadyMs);
}

void StatsSampler::run() {
    for (;;) {
        samplePass(steadyMs(), wallMs());
        std::this_thread::sleep_for(kPeriod);
    }
}

} // namespace vandra
