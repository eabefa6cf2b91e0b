// vandra_clientslock_bench: how long the receiver holds the clients mutex while one caller falls
// to the per-caller backlog limit with others connected. The registry runs in this process on
// a loopback port; the callers are vandra-loadclient processes, file mode (a file-mode caller
// that stops reading backs up in our buffer, a live one is dropped by libsrt instead). This
// thread plays the receiver: it hands the registry chunks at the set rate and times every
// broadcast, which holds the clients mutex from its start to its end.
//
//   vandra_clientslock_bench --loadclient PATH [--port P] [--others N] [--rate-bps R]
//                            [--seconds S] [--label TEXT]
// Prints one markdown table row: label, callers, rate, chunks, broadcast p50, p99.9 and max in
// µs (each as this thread's CPU time / wall time: the wall time includes the thread being
// preempted while it holds the lock, which a loaded machine adds), wall times over 1 ms,
// growth lines logged, CPU-time p50 and max of the broadcasts with a growth, seconds until the
// first caller was cut as fallen behind, then the wall-clock p99.9 and max of the broadcasts
// in which this thread was never switched out (neither preempted nor waiting for the lock: the
// hold as the receiver's own work makes it) and how many broadcasts were switched out.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <srt/srt.h>

#include "core/chunk.h"
#include "core/logger.h"
#include "platform/platform.h"
#include "srt/rightserver.h"

namespace vandra {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string loadclient;
    int port = 19310;
    int others = 50;
    std::int64_t rateBps = 10'000'000;
    int seconds = 120;
    std::string label = "this build";
};

std::atomic<int> gGrowthLines{0};
std::atomic<int> gFellBehindLines{0};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--loadclient") {
            options.loadclient = value;
        } else if (name == "--port") {
            options.port = std::atoi(value.c_str());
        } else if (name == "--others") {
            options.others = std::atoi(value.c_str());
        } else if (name == "--rate-bps") {
            options.rateBps = std::atoll(value.c_str());
        } else if (name == "--seconds") {
            options.seconds = std::atoi(value.c_str());
        } else if (name == "--label") {
            options.label = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !options.loadclient.empty() && options.rateBps > 0;
}

// A load client in the background, its report thrown away; returns its pid (0 on failure).
pid_t startCallers(const Options& options, int callers, const std::vector<std::string>& extra) {
    std::vector<std::string> args{
        options.loadclient,      "--port",    std::to_string(options.port),         "--callers",
        std::to_string(callers), "--seconds", std::to_string(options.seconds + 10), "--file-mode",
        "--min-packets",         "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid > 0 ? pid : 0;
}

void stop(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

std::int64_t threadCpuNs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Voluntary and involuntary context switches of this thread so far.
long threadSwitches() {
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) != 0) {
        return -1;
    }
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

double percentileUs(std::vector<std::int64_t>& ns, double fraction) {
    if (ns.empty()) {
        return 0;
    }
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(ns.size() - 1));
    std::nth_element(ns.begin(), ns.begin() + static_cast<std::ptrdiff_t>(at), ns.end());
    return static_cast<double>(ns[at]) / 1000.0;
}

int run(const Options& options) {
    setLogSink([](const std::string& line) {
        if (line.find("-- CRITICAL SIZE NEED REALLOC ") != std::string::npos) {
            gGrowthLines.fetch_add(1);
        } else if (line.find("behind") != std::string::npos &&
                   line.find("disconnecting") != std::string::npos) {
            gFellBehindLines.fetch_add(1);
        }
    });
    RightServer registry;
    SrtListenParams params;
    params.port = options.port;
    params.latency = 0; // file mode
    if (!registry.start(params)) {
        std::fprintf(stderr, "cannot listen on port %d\n", options.port);
        return 1;
    }
    const pid_t others = startCallers(options, options.others, {});
    const pid_t stalled = startCallers(options, 1, {"--stall-after-ms", "1000"});
    const auto connectBy = Clock::now() + std::chrono::seconds(30);
    const auto everyone = static_cast<std::size_t>(options.others + 1);
    while (registry.activeClientCount() < everyone && Clock::now() < connectBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool connected = registry.activeClientCount() >= everyone;

    std::vector<std::uint8_t> chunk(kChunkSize, 0x47);
    std::vector<std::int64_t> holdsNs;
    std::vector<std::int64_t> cpuHoldsNs;    // this thread's CPU time in each: no preemption
    std::vector<std::int64_t> growthHoldsNs; // CPU time of the broadcasts in which a buffer grew
    std::vector<std::int64_t> unswitchedNs;  // wall time of those never switched out
    int overMs = 0;
    const auto period =
        std::chrono::nanoseconds(kChunkSize * 8 * 1'000'000'000LL / options.rateBps);
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(options.seconds);
    auto next = start;
    double cutAfterS = -1;
    while (connected && Clock::now() < end && gFellBehindLines.load() == 0) {
        std::this_thread::sleep_until(next);
        for (; next <= Clock::now(); next += period) {
            const int growthsBefore = gGrowthLines.load();
            const long switchesBefore = threadSwitches();
            const std::int64_t cpuBefore = threadCpuNs();
            const auto before = Clock::now();
            registry.broadcast(chunk.data(), kChunkSize);
            const std::int64_t ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count();
            const std::int64_t cpuNs = threadCpuNs() - cpuBefore;
            holdsNs.push_back(ns);
            cpuHoldsNs.push_back(cpuNs);
            if (switchesBefore >= 0 && threadSwitches() == switchesBefore) {
                unswitchedNs.push_back(ns);
            }
            if (gGrowthLines.load() != growthsBefore) {
                growthHoldsNs.push_back(cpuNs);
            }
            overMs += ns > 1'000'000 ? 1 : 0;
        }
    }
    if (gFellBehindLines.load() > 0) {
        cutAfterS = std::chrono::duration<double>(Clock::now() - start).count();
    }
    stop(stalled);
    stop(others);
    const std::size_t chunks = holdsNs.size();
    const double p50 = percentileUs(holdsNs, 0.5);
    const double p999 = percentileUs(holdsNs, 0.999);
    const double maxUs = percentileUs(holdsNs, 1.0);
    const double cpuP50 = percentileUs(cpuHoldsNs, 0.5);
    const double cpuP999 = percentileUs(cpuHoldsNs, 0.999);
    const double cpuMax = percentileUs(cpuHoldsNs, 1.0);
    const double growthP50 = percentileUs(growthHoldsNs, 0.5);
    const double growthMax = percentileUs(growthHoldsNs, 1.0);
    const std::size_t switched = chunks - unswitchedNs.size();
    const double unswitchedP999 = percentileUs(unswitchedNs, 0.999);
    const double unswitchedMax = percentileUs(unswitchedNs, 1.0);
    std::printf("| %s | %d + 1 stalled | %.1f Mbit/s | %zu | %.1f / %.1f | %.1f / %.1f "
                "| %.1f / %.1f | %d | %d | %.1f | %.1f | %s | %.1f | %.1f | %zu |\n",
                options.label.c_str(), connected ? options.others : -1,
                static_cast<double>(options.rateBps) / 1e6, chunks, cpuP50, p50, cpuP999, p999,
                cpuMax, maxUs, overMs, gGrowthLines.load(), growthP50, growthMax,
                cutAfterS < 0 ? "not cut" : std::to_string(static_cast<int>(cutAfterS)).c_str(),
                unswitchedP999, unswitchedMax, switched);
    std::fflush(stdout);
    std::_Exit(connected && cutAfterS >= 0 ? 0 : 1); // the accept thread runs for the process
}

} // namespace
} // namespace vandra

int main(int argc, char** argv) {
    vandra::Options options;
    if (!vandra::parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: vandra_clientslock_bench --loadclient PATH [--port P] "
                             "[--others N] [--rate-bps R] [--seconds S] [--label TEXT]\n");
        return 2;
    }
    vandra::platform::tuneAllocator(); // large buffers from the system, as in the server
    if (srt_startup() < 0) {
        std::fprintf(stderr, "srt_startup: %s\n", srt_getlasterror_str());
        return 1;
    }
    return vandra::run(options);
}
