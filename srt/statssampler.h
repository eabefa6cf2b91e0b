#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace vandra {

class LeftServer;
class RightServer;

// Every 3 seconds: a kbit/s sample for the input and for every active caller, and the removal
// of finished callers. Runs on its own thread for the life of the process.
class StatsSampler {
public:
    static constexpr auto kPeriod = std::chrono::seconds(3);

    StatsSampler(LeftServer& input, RightServer& callers) : input_(input), callers_(callers) {}
    ~StatsSampler();
    StatsSampler(const StatsSampler&) = delete;
    StatsSampler& operator=(const StatsSampler&) = delete;

    void start();
    // One pass, with the clocks passed in: the steady one measures, the wall one is shown.
    void samplePass(std::int64_t steadyMs, std::int64_t wallMs);

private:
    void run();

    LeftServer& input_;
    RightServer& callers_;
    std::unique_ptr<std::thread> thread_; // never joined: runs until the process ends
};

} // namespace vandra
