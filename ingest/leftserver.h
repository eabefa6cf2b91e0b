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
#include "ingest/streamrecorder.h"
#include "platform/udpsocket.h"

namespace vandra {

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
    std::atomic<std::int64_t> bytesReceived_{0};
    RateMeter inputRate_;
    std::int64_t oversizeDropped_ = 0; // receiver only
    RateLimiter oversizeLog_{5000};    // receiver only: one stray sender must not flood the log
};

} // namespace vandra
