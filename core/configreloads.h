#pragma once

#include <atomic>
#include <cstdint>

namespace vandra {

// How the re-readings of the settings went, for the metrics: counts, and when the rules in
// force were last read (the start counts as one), in seconds since 1970. Any thread.
class ConfigReloads {
public:
    void succeeded(std::int64_t wallMs) {
        reloads_.fetch_add(1, std::memory_order_relaxed);
        lastSuccessMs_.store(wallMs, std::memory_order_relaxed);
    }
    void failed() {
        reloads_.fetch_add(1, std::memory_order_relaxed);
        failures_.fetch_add(1, std::memory_order_relaxed);
    }
    void started(std::int64_t wallMs) { lastSuccessMs_.store(wallMs, std::memory_order_relaxed); }

    std::uint64_t reloads() const { return reloads_.load(std::memory_order_relaxed); }
    std::uint64_t failures() const { return failures_.load(std::memory_order_relaxed); }
    double lastSuccessSeconds() const {
        return static_cast<double>(lastSuccessMs_.load(std::memory_order_relaxed)) / 1000.0;
    }

private:
    std::atomic<std::uint64_t> reloads_{0};
    std::atomic<std::uint64_t> failures_{0};
    std::atomic<std::int64_t> lastSuccessMs_{0};
};

} // namespace vandra
