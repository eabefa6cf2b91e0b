#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace vandra {

class LeftServer;

// Every 3 seconds: a kbit/s sample for the input and for every active caller, and the removal
// of finished callers. Runs on its own thread for the life of the process.
class StatsSampler {
public:
    static constexpr auto kPeriod = std::chrono::seconds(3);

    explicit StatsSampler(LeftServer& leftServer) : leftServer_(leftServer) {}
    ~StatsSampler();
    StatsSampler(const StatsSampler&) = delete;
    StatsSampler& operator=(const StatsSampler&) = delete;

    void start();
    // One pass, with the clock passed in.
    void samplePass(std::int64_t nowMs, const std::string& timeText);

    // kbit/s (1 kbit = 1024 bits) over whole elapsed seconds; 0 below one second.
    static std::int32_t kbps(std::uint64_t deltaBytes, std::uint32_t elapsedMs);
    // Local time as "%Y-%m-%d %H:%M:%S".
    static std::string localTimeText(std::int64_t nowMs);

private:
    void run();

    LeftServer& leftServer_;
    std::unique_ptr<std::thread> thread_; // never joined: runs until the process ends
};

} // namespace vandra
