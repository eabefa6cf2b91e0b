// The cost per received chunk of the transport-stream checks and of the fast-start cache,
// beside a plain copy of the chunk measured in the same run: the receive loop does at least
// that copy for every chunk, so the ratio says what the checks add to it.
#include <cstring>
#include <map>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/chunk.h"
#include "ingest/gopcache.h"
#include "ingest/programtables.h"
#include "ingest/sectionassembler.h"
#include "ingest/tsinspector.h"

namespace {

using vandra::kChunkSize;
using vandra::kTsPacketSize;

constexpr std::uint16_t kPmtPid = 0x1000;
constexpr std::uint16_t kVideoPid = 0x100;
constexpr std::uint16_t kAudioPid = 0x101;
// 16 repeats of a 16-chunk pattern: every PID has a multiple of 16 packets, so the counters
// run on without a jump when the benchmark starts the stream over.
constexpr int kPatternChunks = 16;
constexpr int kStreamChunks = kPatternChunks * 16;

std::vector<std::uint8_t> withCrc(std::vector<std::uint8_t> section) {
    const std::uint32_t crc =
        vandra::psiCrc32(section.data(), static_cast<std::int32_t>(section.size()));
    for (int shift = 24; shift >= 0; shift -= 8) {
        section.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
    return section;
}

// A stream shaped like a TV channel: mostly video, some audio, tables once per pattern, a few
// null packets and a key frame (random access indicator) every 64 chunks.
class StreamMaker {
public:
    std::vector<std::uint8_t> make() {
        const auto pat = withCrc({0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01,
                                  0xE0 | kPmtPid >> 8, kPmtPid & 0xFF});
        const auto pmt =
            withCrc({0x02, 0xB0, 0x17, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0,
                     0x00, 0x1B, 0xE1, 0x00, 0xF0, 0x00, 0x03, 0xE1, 0x01, 0xF0, 0x00});
        for (int chunk = 0; chunk < kStreamChunks; ++chunk) {
            for (int index = 0; index < vandra::kPacketsPerChunk; ++index) {
                const int slot = (chunk % kPatternChunks) * vandra::kPacketsPerChunk + index;
                if (slot == 0) {
                    packet(0, pat, true, false);
                } else if (slot == 1) {
                    packet(kPmtPid, pmt, true, false);
                } else if (slot % 37 == 5) {
                    packet(0x1FFF, {}, false, false);
                } else if (slot % 9 == 4) {
                    packet(kAudioPid, {}, false, false);
                } else {
                    packet(kVideoPid, {}, false, slot == 2 && chunk % 64 == 0);
                }
            }
        }
        return bytes_;
    }

private:
    void packet(std::uint16_t pid, const std::vector<std::uint8_t>& section, bool unitStart,
                bool randomAccess) {
        std::vector<std::uint8_t> out(kTsPacketSize, 0xFF);
        out[0] = 0x47;
        out[1] = static_cast<std::uint8_t>((unitStart || randomAccess ? 0x40 : 0) | pid >> 8);
        out[2] = static_cast<std::uint8_t>(pid & 0xFF);
        out[3] = static_cast<std::uint8_t>((randomAccess ? 0x30 : 0x10) | counters_[pid]++ % 16);
        std::size_t at = 4;
        if (randomAccess) {
            out[4] = 1;
            out[5] = 0x40;
            at = 6;
        }
        if (!section.empty()) {
            out[at++] = 0; // pointer_field
            std::memcpy(out.data() + at, section.data(), section.size());
        }
        bytes_.insert(bytes_.end(), out.begin(), out.end());
    }

    std::vector<std::uint8_t> bytes_;
    std::map<std::uint16_t, unsigned> counters_;
};

const std::vector<std::uint8_t>& stream() {
    static const std::vector<std::uint8_t> bytes = StreamMaker().make();
    return bytes;
}

const std::uint8_t* chunkAt(std::int64_t index) {
    return stream().data() + (index % kStreamChunks) * kChunkSize;
}

void BM_MemcpyChunk(benchmark::State& state) {
    std::vector<std::uint8_t> out(kChunkSize);
    std::int64_t index = 0;
    for (auto _ : state) {
        std::memcpy(out.data(), chunkAt(index++), kChunkSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kChunkSize);
}
BENCHMARK(BM_MemcpyChunk);

void BM_TsInspectorChunk(benchmark::State& state) {
    vandra::TsInspector inspector;
    std::int64_t index = 0;
    for (auto _ : state) {
        inspector.inspectChunk(chunkAt(index++));
        benchmark::ClobberMemory();
    }
    state.counters["errors"] =
        static_cast<double>(inspector.syncErrors() + inspector.continuityErrors());
    state.SetBytesProcessed(state.iterations() * kChunkSize);
}
BENCHMARK(BM_TsInspectorChunk);

void BM_ProgramTablesChunk(benchmark::State& state) {
    vandra::ProgramTables tables;
    std::int64_t index = 0;
    for (auto _ : state) {
        tables.feedChunk(chunkAt(index++));
        benchmark::ClobberMemory();
    }
    state.counters["video_found"] = tables.videoPid() == kVideoPid ? 1 : 0;
    state.SetBytesProcessed(state.iterations() * kChunkSize);
}
BENCHMARK(BM_ProgramTablesChunk);

// Tables, key-frame search and the copy into the cache: all that fast start adds per chunk.
void BM_GopCachePush(benchmark::State& state) {
    vandra::GopCache cache;
    std::int64_t index = 0;
    for (auto _ : state) {
        cache.push(chunkAt(index), index);
        ++index;
    }
    state.counters["cached_chunks"] = cache.cachedChunks();
    state.SetBytesProcessed(state.iterations() * kChunkSize);
}
BENCHMARK(BM_GopCachePush);

} // namespace

BENCHMARK_MAIN();
