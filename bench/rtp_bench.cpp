// Per-datagram cost of taking RTP input beside raw input, in the same run. The first rows
// isolate the RTP work: a raw datagram is copied into a buffer; an RTP one is parsed,
// sequenced and its payload copied into the same buffer. The BM_Receiver rows run the
// receiver's whole path per datagram (LeftServer::handleDatagram: clocks, input monitor,
// format counters, ring buffer, chunk to a sink that does nothing), raw against RTP, and two
// RTP inputs merged (LeftServer::handlePathDatagram) against one.
// Datagrams as a 20 Mbit/s source sends them: seven TS packets, 1316 bytes raw or 1328 with
// the RTP header.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/chunk.h"
#include "core/chunksink.h"
#include "core/logger.h"
#include "ingest/leftserver.h"
#include "ingest/rtppacket.h"
#include "ingest/rtpsequencer.h"

namespace {

constexpr std::size_t kRtpDatagram = vandra::RtpPacket::kFixedHeaderSize + vandra::kChunkSize;

std::vector<std::uint8_t> rtpDatagram() {
    std::vector<std::uint8_t> datagram(kRtpDatagram, 0);
    datagram[0] = 0x80;
    datagram[1] = 33;
    for (std::size_t at = vandra::RtpPacket::kFixedHeaderSize; at < kRtpDatagram;
         at += vandra::kTsPacketSize) {
        datagram[at] = 0x47;
    }
    return datagram;
}

void setSequence(std::vector<std::uint8_t>& datagram, std::uint16_t sequence) {
    datagram[2] = static_cast<std::uint8_t>(sequence >> 8);
    datagram[3] = static_cast<std::uint8_t>(sequence);
}

void BM_RawDatagram(benchmark::State& state) {
    std::vector<std::uint8_t> datagram(vandra::kChunkSize, 0);
    datagram[0] = 0x47;
    std::array<std::uint8_t, vandra::kChunkSize> buffer{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(datagram.data());
        std::memcpy(buffer.data(), datagram.data(), datagram.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * vandra::kChunkSize);
}
BENCHMARK(BM_RawDatagram);

// Every `swapEvery` datagrams (0: never) two neighbours arrive swapped, so one of them waits
// in a slot and is copied twice.
void BM_RtpDatagram(benchmark::State& state) {
    const auto swapEvery = static_cast<std::uint64_t>(state.range(0));
    std::vector<std::uint8_t> datagram = rtpDatagram();
    std::array<std::uint8_t, vandra::kChunkSize> buffer{};
    vandra::RtpSequencer sequencer([&buffer](std::uint16_t, std::span<const std::uint8_t> bytes) {
        std::memcpy(buffer.data(), bytes.data(), bytes.size());
    });
    std::uint64_t index = 0;
    for (auto _ : state) {
        std::uint64_t number = index;
        if (swapEvery > 0 && index % swapEvery == swapEvery - 2) {
            number = index + 1;
        } else if (swapEvery > 0 && index % swapEvery == swapEvery - 1) {
            number = index - 1;
        }
        ++index;
        setSequence(datagram, static_cast<std::uint16_t>(number));
        benchmark::DoNotOptimize(datagram.data());
        vandra::RtpPacket packet;
        if (packet.parse(datagram) != vandra::RtpPacket::Error::None) {
            state.SkipWithError("parse failed");
            break;
        }
        sequencer.push(packet.sequence(), packet.ssrc(), packet.payload(), 0);
        benchmark::ClobberMemory();
    }
    if (sequencer.counters().delivered + sequencer.waiting() != index) {
        state.SkipWithError("a datagram was not delivered");
    }
    state.SetBytesProcessed(state.iterations() * vandra::kChunkSize);
}
BENCHMARK(BM_RtpDatagram)->ArgName("swap_every")->Arg(0)->Arg(16);

// The receiver's first-datagram lines would end up between the table's rows.
class QuietLog {
public:
    QuietLog() : previous_(vandra::setLogSink([](const std::string&) {})) {}
    ~QuietLog() { vandra::setLogSink(previous_); }
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;

private:
    vandra::LogSink previous_;
};

class NullSink final : public vandra::ChunkSink {
public:
    void broadcast(const std::uint8_t* chunk, std::int32_t length) override {
        benchmark::DoNotOptimize(chunk);
        benchmark::DoNotOptimize(length);
    }
};

void BM_ReceiverRaw(benchmark::State& state) {
    std::vector<std::uint8_t> datagram(vandra::kChunkSize, 0);
    for (std::size_t at = 0; at < datagram.size(); at += vandra::kTsPacketSize) {
        datagram[at] = 0x47;
    }
    const QuietLog quiet;
    NullSink sink;
    auto receiver = std::make_unique<vandra::LeftServer>(sink);
    const int length = static_cast<int>(datagram.size());
    for (auto _ : state) {
        receiver->handleDatagram(datagram.data(), length, length);
    }
    if (receiver->bytesReceived() != static_cast<std::int64_t>(state.iterations()) * length) {
        state.SkipWithError("a datagram was not taken");
    }
    state.SetBytesProcessed(state.iterations() * vandra::kChunkSize);
}
BENCHMARK(BM_ReceiverRaw);

// Every `swapEvery` datagrams (0: never) two neighbours arrive swapped.
void BM_ReceiverRtp(benchmark::State& state) {
    const auto swapEvery = static_cast<std::uint64_t>(state.range(0));
    std::vector<std::uint8_t> datagram = rtpDatagram();
    const QuietLog quiet;
    NullSink sink;
    auto receiver = std::make_unique<vandra::LeftServer>(sink);
    const int length = static_cast<int>(datagram.size());
    std::uint64_t index = 0;
    for (auto _ : state) {
        std::uint64_t number = index;
        if (swapEvery > 0 && index % swapEvery == swapEvery - 2) {
            number = index + 1;
        } else if (swapEvery > 0 && index % swapEvery == swapEvery - 1) {
            number = index - 1;
        }
        ++index;
        setSequence(datagram, static_cast<std::uint16_t>(number));
        receiver->handleDatagram(datagram.data(), length, length);
    }
    const vandra::RtpInput::Counters counters = receiver->rtpCounters();
    if (counters.malformed != 0 || counters.lost != 0 || counters.duplicates != 0 ||
        counters.delivered + 1 < index) {
        state.SkipWithError("the RTP stream was not taken whole");
    }
    state.SetBytesProcessed(state.iterations() * vandra::kChunkSize);
}
BENCHMARK(BM_ReceiverRtp)->ArgName("swap_every")->Arg(0)->Arg(16);

// Two inputs of one stream, merged; one iteration is one datagram received on either input.
// Input 2 runs `lag` packets behind input 1, and input 1 misses one packet in 64, which input
// 2 brings: the gap waits in the window meanwhile. One stream packet is about two datagrams.
void BM_ReceiverRtpMerged(benchmark::State& state) {
    const auto lag = static_cast<std::uint32_t>(state.range(0));
    struct Arrival {
        int path;
        std::uint16_t number;
        std::int64_t atMs;
    };
    constexpr std::uint32_t kNumbers = 65536; // one turn of the sequence numbers
    constexpr std::int64_t kTurnMs = kNumbers / 2;
    std::vector<Arrival> arrivals;
    for (std::uint32_t n = 0; n < kNumbers; ++n) {
        if (n % 64 != 31) {
            arrivals.push_back({0, static_cast<std::uint16_t>(n), n / 2});
        }
        if (n >= lag) {
            arrivals.push_back({1, static_cast<std::uint16_t>(n - lag), n / 2});
        }
    }
    std::vector<std::uint8_t> datagram = rtpDatagram();
    const QuietLog quiet;
    NullSink sink;
    auto receiver = std::make_unique<vandra::LeftServer>(sink);
    receiver->setSecondInput("239.1.1.1", "5000", "", "", 300, 1000);
    const int length = static_cast<int>(datagram.size());
    std::size_t index = 0;
    std::int64_t turnMs = 0;
    for (auto _ : state) {
        const Arrival& arrival = arrivals[index];
        setSequence(datagram, arrival.number);
        receiver->handlePathDatagram(arrival.path, datagram.data(), length, length,
                                     turnMs + arrival.atMs);
        if (++index == arrivals.size()) {
            index = 0;
            turnMs += kTurnMs;
        }
    }
    if (!receiver->merging() || receiver->rtpCounters().lost != 0) {
        state.SkipWithError("the merged stream lost packets or fell back to failover");
    }
    state.SetBytesProcessed(state.iterations() * vandra::kChunkSize);
}
BENCHMARK(BM_ReceiverRtpMerged)->ArgName("lag")->Arg(0)->Arg(16);

} // namespace

BENCHMARK_MAIN();
