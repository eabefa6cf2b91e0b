#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "core/bitratehistory.h"
#include "core/chunk.h"
#include "core/chunksink.h"
#include "core/mutex.h"
#include "core/ratelimiter.h"
#include "core/ringbuffer_adaptive.h"
#include "ingest/inputhealth.h"
#include "ingest/inputmonitor.h"
#include "ingest/inputswitch.h"
#include "ingest/rtpinput.h"
#include "ingest/streamrecorder.h"
#include "platform/udpsocket.h"

namespace vandra {

// What the latest datagram taken into the data path carried.
enum class InputFormat : std::uint8_t { None, Ts, Rtp };
// "none", "ts", "rtp": the label documents and metrics use.
const char* inputFormatCode(InputFormat format);

// The input side: joins the multicast group, takes each datagram as raw transport stream or as
// RTP (told apart per datagram), cuts the stream into 1316-byte chunks, records them and hands
// them to its sink. Settings are written once by setParams before any thread
// starts; serve() keeps the calling thread and ends the process itself.
class LeftServer {
public:
    static constexpr std::int32_t kIncomingChunks = 10;
    static constexpr int kReceiveBufferBytes = 6553600;
    static constexpr std::int32_t kDefaultMergeWindowMs = 150;

    // `sink` receives every chunk on the receiver thread; it outlives this object.
    explicit LeftServer(ChunkSink& sink) : sink_(sink) {}

    void setParams(const std::string& group, const std::string& port, const std::string& iface,
                   bool dump);
    // The one sender a source-specific join takes (dotted IPv4); empty: any sender.
    void setSender(const std::string& sender) { sender_ = sender; }
    // ms without a datagram before the input counts as stalled; 0 turns that off.
    void setInputTimeout(std::int64_t milliseconds) { monitor_.setTimeout(milliseconds); }
    // A second input of the same stream, before serve(); `sender` as for setSender. Without it
    // there is one receiver thread and no switch. While both inputs carry RTP of one stream they
    // are merged, a gap waiting `mergeWindowMs` for the other input; otherwise the second input
    // takes over while the first one is silent.
    void setSecondInput(const std::string& group, const std::string& port, const std::string& iface,
                        const std::string& sender, std::int64_t failoverTimeoutMs,
                        std::int64_t failbackDelayMs,
                        std::int64_t mergeWindowMs = kDefaultMergeWindowMs);
    [[noreturn]] void serve();

    const std::string& group() const { return group_; }
    const std::string& port() const { return port_; }
    const std::string& iface() const { return iface_; }
    const std::string& sender() const { return sender_; }
    bool dump() const { return dump_; }

    BitrateHistory& inputHistory() { return inputHistory_; }
    const BitrateHistory& inputHistory() const { return inputHistory_; }
    StreamRecorder& recorder() { return recorder_; }

    // Sampler thread: one input bitrate sample, with the steady clock's time.
    void sampleInput(const std::string& time, std::int64_t steadyMs);
    // Receiver thread: takes one received datagram of `length` bytes (`fullLength` when it was
    // longer than the buffer). Public so that tests can drive the data path without a socket;
    // they may also give the steady-clock time, which RTP's reorder window runs on.
    void handleDatagram(const std::uint8_t* data, int length, int fullLength);
    void handleDatagram(const std::uint8_t* data, int length, int fullLength, std::int64_t nowMs);
    // Receiver thread: a wait for a datagram ended without one.
    void handleIdle(std::int64_t nowMs);
    std::int64_t bytesReceived() const { return bytesReceived_.load(std::memory_order_relaxed); }
    std::int64_t datagramsReceived() const { return datagrams_.load(std::memory_order_relaxed); }
    std::int64_t oversizeDropped() const {
        return oversizeDropped_.load(std::memory_order_relaxed);
    }
    const InputMonitor& monitor() const { return monitor_; }
    const InputHealth& health() const { return health_; }
    // Any thread: the format of the latest datagram taken into the data path, datagrams per
    // format as their first byte tells (empty ones have none, dropped ones count) and what the
    // RTP side counted.
    using RtpCounters = RtpInput::Counters;
    InputFormat inputFormat() const { return format_.load(std::memory_order_relaxed); }
    std::int64_t tsDatagrams() const { return tsDatagrams_.load(std::memory_order_relaxed); }
    std::int64_t rtpDatagrams() const { return rtpDatagrams_.load(std::memory_order_relaxed); }
    RtpCounters rtpCounters() const { return rtpInput_.counters(); }

    // What each of two inputs did; any thread. Index 0 is `source`, 1 the second input.
    struct PathFigures {
        std::int64_t bytes = 0;
        std::int64_t datagrams = 0;
        bool stalled = false;
        bool active = false;
        std::uint64_t lostPackets = 0; // RTP numbers this input did not bring, while merging
    };
    bool hasSecondInput() const { return inputSwitch_ != nullptr; }
    // Any thread: true while two inputs are merged rather than switched between.
    bool merging() const { return merging_.load(std::memory_order_relaxed); }
    PathFigures pathFigures(int path) const;
    std::int64_t inputSwitches() const { return switches_.load(std::memory_order_relaxed); }
    // Receiver threads, with two inputs: one datagram, or a wait without one, on `path`. Public
    // so that tests can drive the switch without sockets.
    void handlePathDatagram(int path, const std::uint8_t* data, int length, int fullLength,
                            std::int64_t nowMs) EXCLUDES(mergeMutex_);
    void handlePathIdle(std::int64_t nowMs) EXCLUDES(mergeMutex_);

private:
    // The figures one receiver thread writes for others to read.
    struct PathCounters {
        std::atomic<std::int64_t> bytes{0};
        std::atomic<std::int64_t> datagrams{0};
        std::atomic<bool> stalled{false};
        std::atomic<bool> active{false};
    };
    struct SecondInput {
        std::string group;
        std::string port;
        std::string iface;
        std::string sender;
    };

    bool openSocket(platform::UdpSocket& sock);
    bool bindAndJoin(platform::UdpSocket& sock, const std::string& group, const std::string& port,
                     const std::string& iface, const std::string& sender);
    bool join(platform::UdpSocket& sock, const std::string& group, const std::string& port,
              const std::string& iface, const std::string& sender, std::uint32_t groupAddress,
              std::uint32_t ifaceAddress);
    void tuneReceiveBuffer(platform::UdpSocket& sock);
    [[noreturn]] void receiveLoop(platform::UdpSocket& sock, int path);
    void onSwitchChange(InputSwitch::Change change, int path, const std::string& reason);
    void takeDatagram(int path, const std::uint8_t* data, int length, int fullLength,
                      std::int64_t nowMs);
    void fallBackToFailover(const std::string& why) REQUIRES(mergeMutex_);
    void startStreamAfresh();
    void reportOversize(int fullLength, std::int64_t nowMs);
    void noteFormatTaken(InputFormat format, std::int64_t nowMs);
    void handleRaw(const std::uint8_t* data, int length, std::int64_t nowMs);
    void takeTransportStream(const std::uint8_t* data, int length);
    [[noreturn]] void fatalStop();
    [[noreturn]] void stopReceiving(platform::UdpSocket& sock);

    ChunkSink& sink_;
    std::string group_;
    std::string port_;
    std::string iface_;
    std::string sender_;
    bool dump_ = false;
    BitrateHistory inputHistory_;
    platform::UdpSocket sock_;
    StreamRecorder recorder_;
    RingBufferAdaptive incoming_{kChunkSize, kIncomingChunks}; // receiver thread only
    std::array<std::uint8_t, kChunkSize> chunk_{};             // receiver thread only
    InputMonitor monitor_;
    InputHealth health_;            // receiver thread, totals read anywhere
    std::int64_t receiveNowMs_ = 0; // receiver thread: the clock of the datagram being taken
    std::atomic<std::int64_t> bytesReceived_{0};
    std::atomic<std::int64_t> datagrams_{0};
    std::atomic<std::int64_t> oversizeDropped_{0};
    RateMeter inputRate_;
    RateLimiter oversizeLog_{5000}; // receiver only: one stray sender must not flood the log
    // RTP payloads come out of the reorder window in sequence order, as raw datagrams would.
    RtpInput rtpInput_{[this](std::uint16_t, std::span<const std::uint8_t> payload) {
        takeTransportStream(payload.data(), static_cast<int>(payload.size()));
    }};
    std::atomic<InputFormat> format_{InputFormat::None};
    std::atomic<std::int64_t> tsDatagrams_{0};
    std::atomic<std::int64_t> rtpDatagrams_{0};
    std::int64_t formatChanges_ = 0; // receiver only
    RateLimiter formatLog_{5000};    // receiver only: a group with two senders flips all the time

    // Two inputs: each receiver thread takes mergeMutex_ around everything it does after
    // counting, so the data path above sees one stream from one thread at a time.
    Mutex mergeMutex_;
    std::unique_ptr<InputSwitch> inputSwitch_ PT_GUARDED_BY(mergeMutex_);
    SecondInput second_;
    platform::UdpSocket secondSock_;
    std::unique_ptr<std::thread> secondReceiver_; // runs for the life of the process
    std::array<PathCounters, InputSwitch::kPaths> paths_;
    std::atomic<std::int64_t> switches_{0};
    // Written under mergeMutex_ (or before the threads start), read by any thread.
    std::atomic<bool> merging_{false};
};

} // namespace vandra
