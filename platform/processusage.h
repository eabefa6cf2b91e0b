#pragma once

#include <cstdint>

namespace vandra::platform {

// What the operating system knows about this process, for the process metrics.
struct ProcessUsage {
    double cpuSeconds = 0; // user and system time of all threads
    std::int64_t residentBytes = 0;
    double startTimeSeconds = 0; // since 1970
    std::int64_t openFds = 0;
};

// Reads the figures from /proc; false when one of them cannot be read.
bool readProcessUsage(ProcessUsage& usage);

} // namespace vandra::platform
