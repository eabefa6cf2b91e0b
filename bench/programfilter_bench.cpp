// The cost per received chunk of cutting one programme out of a four-programme input, and of
// keeping the list of programmes the listen hook checks, beside a plain copy of the chunk.
#include <cstring>
#include <map>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/chunk.h"
#include "ingest/programcatalog.h"
#include "ingest/programfilter.h"
#include "ingest/sectionassembler.h"

namespace {

using vandra::kChunkSize;
using vandra::kTsPacketSize;

constexpr int kPrograms = 4;
// Tables every 16 chunks; 256 chunks whose counters run on when the benchmark starts over.
constexpr int kStreamChunks = 256;

std::vector<std::uint8_t> section(std::vector<std::uint8_t> bytes) {
    const std::uint32_t crc = vandra::psiCrc32(bytes.data(), static_cast<int>(bytes.size()));
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
    return bytes;
}

std::uint16_t pmtPid(int program) {
    return static_cast<std::uint16_t>(0x1000 + program);
}
std::uint16_t videoPid(int program) {
    return static_cast<std::uint16_t>(0x100 + 16 * program);
}

class MptsMaker {
public:
    std::vector<std::uint8_t> make() {
        std::vector<std::uint8_t> pat{0x00, 0xB0, 5 + 4 * kPrograms + 4, 0, 1, 0xC1, 0, 0};
        for (int program = 1; program <= kPrograms; ++program) {
            pat.insert(pat.end(), {0, static_cast<std::uint8_t>(program), 0xF0,
                                   static_cast<std::uint8_t>(pmtPid(program) & 0xFF)});
        }
        pat = section(pat);
        for (int chunk = 0; chunk < kStreamChunks; ++chunk) {
            for (int slot = 0; slot < vandra::kPacketsPerChunk; ++slot) {
                const int program = 1 + (chunk * vandra::kPacketsPerChunk + slot) % kPrograms;
                if (chunk % 16 == 0 && slot == 0) {
                    packet(0, pat);
                } else if (chunk % 16 == 0 && slot <= kPrograms) {
                    packet(pmtPid(slot), pmt(slot));
                } else {
                    packet(static_cast<std::uint16_t>(videoPid(program) + slot % 3 / 2), {});
                }
            }
        }
        return bytes_;
    }

private:
    static std::vector<std::uint8_t> pmt(int program) {
        const std::uint16_t video = videoPid(program);
        const auto high = static_cast<std::uint8_t>(0xE0 | video >> 8);
        const auto low = static_cast<std::uint8_t>(video & 0xFF);
        return section({0x02, 0xB0, 0x17, 0,    static_cast<std::uint8_t>(program),
                        0xC1, 0,    0,    high, low,
                        0xF0, 0,    0x1B, high, low,
                        0xF0, 0,    0x0F, high, static_cast<std::uint8_t>(low + 1),
                        0xF0, 0});
    }
    void packet(std::uint16_t pid, const std::vector<std::uint8_t>& table) {
        std::vector<std::uint8_t> out(kTsPacketSize, 0xFF);
        out[0] = 0x47;
        out[1] = static_cast<std::uint8_t>((table.empty() ? 0 : 0x40) | pid >> 8);
        out[2] = static_cast<std::uint8_t>(pid & 0xFF);
        out[3] = static_cast<std::uint8_t>(0x10 | counters_[pid]++ % 16);
        if (!table.empty()) {
            out[4] = 0; // pointer_field
            std::memcpy(out.data() + 5, table.data(), table.size());
        }
        bytes_.insert(bytes_.end(), out.begin(), out.end());
    }

    std::vector<std::uint8_t> bytes_;
    std::map<std::uint16_t, unsigned> counters_;
};

const std::uint8_t* chunkAt(std::int64_t index) {
    static const std::vector<std::uint8_t> bytes = MptsMaker().make();
    return bytes.data() + (index % kStreamChunks) * kChunkSize;
}

void BM_MemcpyChunk(benchmark::State& state) {
    std::vector<std::uint8_t> out(kChunkSize);
    std::int64_t index = 0;
    for (auto _ : state) {
        std::memcpy(out.data(), chunkAt(index++), kChunkSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyChunk);

// One chunk in, about a quarter of it out: a message of seven packets every fourth chunk.
void BM_ProgramFilterChunk(benchmark::State& state) {
    std::int64_t messages = 0;
    vandra::ProgramFilter filter(2, [&messages](const std::uint8_t* message) {
        benchmark::DoNotOptimize(message);
        ++messages;
    });
    std::int64_t index = 0;
    for (auto _ : state) {
        filter.feedChunk(chunkAt(index), index); // a chunk a millisecond
        ++index;
    }
    state.counters["messages_per_chunk"] =
        static_cast<double>(messages) / static_cast<double>(state.iterations());
    state.counters["null_packets"] = static_cast<double>(filter.nullPacketsAdded());
}
BENCHMARK(BM_ProgramFilterChunk);

void BM_ProgramCatalogChunk(benchmark::State& state) {
    vandra::ProgramCatalog catalog;
    std::int64_t index = 0;
    for (auto _ : state) {
        catalog.feedChunk(chunkAt(index++));
        benchmark::ClobberMemory();
    }
    state.counters["programs"] = static_cast<double>(catalog.listing()->programs.size());
}
BENCHMARK(BM_ProgramCatalogChunk);

} // namespace

BENCHMARK_MAIN();
