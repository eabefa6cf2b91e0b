// What a log line costs the thread that writes it: the line as it was written before (fwrite
// and fflush on standard output under the log mutex, so one write call per line on the
// caller's thread) beside the queue that one writer thread drains now. Both write to
// /dev/null, which takes everything at once: the synchronous row is its best case, since a
// slow terminal or a full pipe makes it wait as long as the output does. The last row is the
// queue while its output is blocked for good (a pipe nobody reads): every line is dropped.
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/logqueue.h"

namespace {

// A line as LogLine composes one: message, value, unit, source line.
std::string composeLine(std::int64_t value) {
    std::ostringstream text;
    text << "accept new client 127.0.0.1:" << value << "  clienthandler  " << 123 << '\n';
    return text.str();
}

struct NullOutput {
    NullOutput() : file(std::fopen("/dev/null", "w")) {}
    ~NullOutput() { std::fclose(file); }
    NullOutput(const NullOutput&) = delete;
    NullOutput& operator=(const NullOutput&) = delete;
    std::FILE* file;
};

// The floor both share: composing the line.
void BM_LineComposedOnly(benchmark::State& state) {
    std::int64_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(composeLine(++value));
    }
}

void BM_LineWrittenOnTheCallersThread(benchmark::State& state) {
    static NullOutput output;
    static std::mutex mutex;
    std::int64_t value = 0;
    for (auto _ : state) {
        const std::string line = composeLine(++value);
        std::lock_guard<std::mutex> lock(mutex);
        std::fwrite(line.data(), 1, line.size(), output.file);
        std::fflush(output.file);
    }
}

void BM_LineQueued(benchmark::State& state) {
    static NullOutput output;
    static vandra::LogQueue queue(4 * 1024 * 1024, ::fileno(output.file), ::fileno(output.file));
    const std::uint64_t droppedBefore = queue.dropped();
    std::int64_t value = 0;
    for (auto _ : state) {
        queue.push(vandra::LogStream::out, composeLine(++value));
    }
    state.counters["dropped"] = static_cast<double>(queue.dropped() - droppedBefore);
}

void BM_LineDroppedWhileTheOutputIsBlocked(benchmark::State& state) {
    static int unread[2] = {-1, -1};
    static vandra::LogQueue* queue = [] {
        if (::pipe(unread) != 0) {
            std::perror("pipe");
        }
        // Left to the end of the process: its writer stays blocked in a write to the pipe.
        static vandra::LogQueue blocked(64 * 1024, unread[1], unread[1]);
        return &blocked;
    }();
    std::int64_t value = 0;
    for (auto _ : state) {
        queue->push(vandra::LogStream::out, composeLine(++value));
    }
}

BENCHMARK(BM_LineComposedOnly);
BENCHMARK(BM_LineWrittenOnTheCallersThread)->Threads(1)->Threads(2);
BENCHMARK(BM_LineQueued)->Threads(1)->Threads(2);
BENCHMARK(BM_LineDroppedWhileTheOutputIsBlocked)->Threads(1)->Threads(2);

} // namespace

BENCHMARK_MAIN();
