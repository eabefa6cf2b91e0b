#include "platform/processusage.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace vandra::platform {

namespace {
struct StatFields {
    unsigned long long utimeTicks = 0;
    unsigned long long stimeTicks = 0;
    unsigned long long startTicks = 0; // since boot
    long long residentPages = 0;
};

// /proc/self/stat: "pid (comm) state ..."; comm may hold blanks and parentheses, so the fields
// are counted from the last ')'.
bool readStat(StatFields& fields) {
    std::ifstream in("/proc/self/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    // After the comm: state is field 3; utime 14, stime 15, starttime 22, rss 24.
    std::istringstream rest(line.substr(close + 1));
    std::string skip;
    for (int field = 3; field <= 13; ++field) {
        rest >> skip;
    }
    rest >> fields.utimeTicks >> fields.stimeTicks;
    for (int field = 16; field <= 21; ++field) {
        rest >> skip;
    }
    rest >> fields.startTicks >> skip >> fields.residentPages;
    return !rest.fail();
}

// Boot time in seconds since 1970, from the "btime" line of /proc/stat; -1 when missing.
long long readBootTime() {
    std::ifstream in("/proc/stat");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("btime ", 0) == 0) {
            char* end = nullptr;
            const long long seconds = std::strtoll(line.c_str() + 6, &end, 10);
            return end != line.c_str() + 6 && seconds > 0 ? seconds : -1;
        }
    }
    return -1;
}

std::int64_t countOpenFds() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    std::int64_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count - 1; // the listing's own descriptor
}
} // namespace

bool readProcessUsage(ProcessUsage& usage) {
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    static const long pageBytes = ::sysconf(_SC_PAGESIZE);
    static const long long bootSeconds = readBootTime(); // never changes
    StatFields fields;
    if (ticksPerSecond <= 0 || pageBytes <= 0 || bootSeconds < 0 || !readStat(fields)) {
        return false;
    }
    const std::int64_t fds = countOpenFds();
    if (fds < 0) {
        return false;
    }
    const auto ticks = static_cast<double>(ticksPerSecond);
    usage.cpuSeconds = static_cast<double>(fields.utimeTicks + fields.stimeTicks) / ticks;
    usage.residentBytes = fields.residentPages * pageBytes;
    usage.startTimeSeconds =
        static_cast<double>(bootSeconds) + static_cast<double>(fields.startTicks) / ticks;
    usage.openFds = fds;
    return true;
}

} // namespace vandra::platform
