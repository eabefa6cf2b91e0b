// Push+pop throughput of the ring buffer with 1316-byte chunks, beside plain memcpy of the
// same bytes measured in the same run, so the distance to the memory-bandwidth limit shows.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/ringbuffer_adaptive.h"

namespace {

constexpr std::int32_t kChunk = 1316;

// The copies a push and a pop make: into the ring, and out to the reader.
void BM_MemcpyTwiceReference(benchmark::State& state) {
    std::vector<std::uint8_t> source(kChunk, 1);
    std::vector<std::uint8_t> ring(kChunk * 1000);
    std::vector<std::uint8_t> out(kChunk);
    size_t at = 0;
    for (auto _ : state) {
        std::memcpy(ring.data() + at, source.data(), kChunk);
        benchmark::ClobberMemory();
        std::memcpy(out.data(), ring.data() + at, kChunk);
        benchmark::DoNotOptimize(out.data());
        at = (at + kChunk) % ring.size();
    }
    state.SetBytesProcessed(state.iterations() * kChunk);
}
BENCHMARK(BM_MemcpyTwiceReference);

void BM_PushPopOneThread(benchmark::State& state) {
    vandra::RingBufferAdaptive ring(kChunk, 1000);
    std::vector<std::uint8_t> source(kChunk, 1);
    std::vector<std::uint8_t> out(kChunk);
    for (auto _ : state) {
        ring.push(source.data(), kChunk);
        ring.pop(out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * kChunk);
}
BENCHMARK(BM_PushPopOneThread);

// 188-byte datagrams, as a publisher of single TS packets sends them.
void BM_PushSmallPopChunk(benchmark::State& state) {
    vandra::RingBufferAdaptive ring(kChunk, 10);
    std::vector<std::uint8_t> source(188, 1);
    std::vector<std::uint8_t> out(kChunk);
    for (auto _ : state) {
        for (int i = 0; i < 7; ++i) {
            ring.push(source.data(), 188);
        }
        ring.pop(out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * kChunk);
}
BENCHMARK(BM_PushSmallPopChunk);

// Writer on this thread, reader spinning on another; bytes counted on the writer side.
void BM_PushPopTwoThreads(benchmark::State& state) {
    vandra::RingBufferAdaptive ring(kChunk, 1000);
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> popped{0};
    std::thread reader([&] {
        std::vector<std::uint8_t> out(kChunk);
        while (!done.load(std::memory_order_relaxed)) {
            if (ring.pop(out.data())) {
                popped.fetch_add(1, std::memory_order_relaxed);
            }
        }
        while (ring.pop(out.data())) {
            popped.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::vector<std::uint8_t> source(kChunk, 1);
    std::int64_t pushed = 0;
    for (auto _ : state) {
        // Keep within the initial capacity, so the figure is the steady state, not growth.
        while (ring.available() > kChunk * 900) {
        }
        ring.push(source.data(), kChunk);
        ++pushed;
    }
    done.store(true);
    reader.join();
    state.counters["lost"] = static_cast<double>(pushed - popped.load());
    state.SetBytesProcessed(state.iterations() * kChunk);
}
BENCHMARK(BM_PushPopTwoThreads)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
