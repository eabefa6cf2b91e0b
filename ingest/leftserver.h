#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "core/bitratehistory.h"
#include "core/chunk.h"
#include "core/chunksink.h"
#include "core/ratelimiter.h"
#include "core/ringbuffer_adaptive.h"
#include "ingest/inputhealth.h"
#include "ingest/inputmonitor.h"
#include "ingest/streamrecorder.h"
#include "platform/udpsocket.h"

namespace vandra {

// What the latest datagram taken into the data path carried.
enum class InputFormat : std::uint8_t { None, Ts, Rtp };
// "none", "ts", "rtp": the label documents and metrics use.
const char* inputFormatCode(InputFormat format);

// The input side: joins the multicast group, cuts the stream into 1316-byte chunks, records
// them and hands them to its sink. Settings are written once by setParams before any thread
// starts; serve() keeps the calling thread and ends the process itself.
class LeftServer {
public:
    static constexpr std::int32_t kIncomingChunks = 10;
    static constexpr int kReceiveBufferBytes = 6553600;

    // `sink` receives every chunk on the receiver thread; it outlives this object.
    explicit LeftServer(ChunkSink& sink) : sink_(sink) {}

    void setParams(const std::string& group, const std::string& port, const std::string& iface,
                   bool dump);
    // ms without a datagram before the input counts as stalled; 0 turns that off.
    void setInputTimeout(std::int64_t milliseconds) { monitor_.setTimeout(milliseconds); }
    [[noreturn]] void serve();

    const std::string& group() const { return group_; }
    const std::string& port() const { return port_; }
    const std::string& iface() const { return iface_; }
    bool dump() const { return dump_; }

    BitrateHistory& inputHistory() { return inputHistory_; }
    const BitrateHistory& inputHistory() const { return inputHistory_; }
    StreamRecorder& recorder() { return recorder_; }

    // Sampler thread: one input bitrate sample, with the steady clock's time.
    void sampleInput(const std::string& time, std::int64_t steadyMs);
    // Receiver thread: takes one received datagram of `length` bytes (`fullLength` when it was
    // longer than the buffer). Public so that tests can drive the data path without a socket.
    void handleDatagram(const std::uint8_t* data, int length, int fullLength);
    std::int64_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }
    std::int64_t datagramsReceived() const { return datagrams_.load(std::memory_order_relaxed); }
    std::int64_t oversizeDropped() const {
        return oversizeDropped_.load(std::memory_order_relaxed);
    }
    const InputMonitor& monitor() const { return monitor_; }
    const InputHealth& health() const { return health_; }

    // Input format and RTP sequence counters, for documents and metrics; any thread. The RTP
    // counters stay 0 while the input is raw.
    struct RtpCounters {
        std::uint64_t lost = 0;
        std::uint64_t duplicates = 0;
        std::uint64_t reordered = 0;
    };
    InputFormat inputFormat() const { return format_.load(std::memory_order_relaxed); }
    RtpCounters rtpCounters() const {
        return {rtpLost_.load(std::memory_order_relaxed),
                rtpDuplicates_.load(std::memory_order_relaxed),
                rtpReordered_.load(std::memory_order_relaxed)};
    }

private:
    bool openSocket();
    bool bindAndJoin();
    void tuneReceiveBuffer();
    [[noreturn]] void receiveLoop();
    void reportOversize(int fullLength, std::int64_t nowMs);
    [[noreturn]] void fatalStop();
    [[noreturn]] void stopReceiving();

    ChunkSink& sink_;
    std::string group_;
    std::string port_;
    std::string iface_;
    bool dump_ = false;
    BitrateHistory inputHistory_;
    platform::UdpSocket sock_;
    StreamRecorder recorder_;
    RingBufferAdaptive incoming_{kChunkSize, kIncomingChunks}; // receiver thread only
    std::array<std::uint8_t, kChunkSize> chunk_{};             // receiver thread only
    InputMonitor monitor_;
    InputHealth health_; // receiver thread, totals read anywhere
    std::atomic<InputFormat> format_{InputFormat::None};
    std::atomic<std::uint64_t> rtpLost_{0};
    std::atomic<std::uint64_t> rtpDuplicates_{0};
    std::atomic<std::uint64_t> rtpReordered_{0};
    std::atomic<std::int64_t> bytesReceived_{0};
    std::atomic<std::int64_t> datagrams_{0};
    std::atomic<std::int64_t> oversizeDropped_{0};
    RateMeter inputRate_;
    RateLimiter oversizeLog_{5000}; // receiver only: one stray sender must not flood the log
};

} // namespace vandra
