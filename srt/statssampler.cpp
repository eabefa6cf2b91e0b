#include "srt/statssampler.h"

#include <cstdint>
#include <ctime>

#include "ingest/leftserver.h"
#include "platform/platform.h"

namespace vandra {

StatsSampler::~StatsSampler() {
    if (thread_ && thread_->joinable()) {
        thread_->detach();
    }
}

void StatsSampler::start() {
    thread_ = std::make_unique<std::thread>(&StatsSampler::run, this);
}

std::int32_t StatsSampler::kbps(std::uint64_t deltaBytes, std::uint32_t elapsedMs) {
    const std::uint32_t seconds = elapsedMs / 1000;
    if (seconds == 0) {
        return 0;
    }
    const double value =
        static_cast<double>(deltaBytes) * 8.0 / (static_cast<double>(seconds) * 1024.0);
    // Out-of-range conversion would be undefined; such a rate is not a real one anyway.
    return value >= 2147483647.0 ? INT32_MAX : static_cast<std::int32_t>(value);
}

std::string StatsSampler::localTimeText(std::int64_t nowMs) {
    const std::time_t seconds = static_cast<std::time_t>(nowMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[20] = {};
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void StatsSampler::samplePass(std::int64_t nowMs, const std::string& timeText) {
    leftServer_.sampleInput(timeText, nowMs);
    leftServer_.getRightServer().sampleAndReap(timeText, nowMs);
}

void StatsSampler::run() {
    for (;;) {
        const std::int64_t now = platform::nowMs();
        samplePass(now, localTimeText(now));
        std::this_thread::sleep_for(kPeriod);
    }
}

} // namespace vandra
