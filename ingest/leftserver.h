#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "app/sourceaddress.h"
#include "ingest/streamrecorder.h"
#include "platform/udpsocket.h"
#include "srt/bitratehistory.h"
#include "srt/rightserver.h"
#include "srt/srtlistenparams.h"
#include "srt/statssampler.h"

namespace vandra {

class RingBufferAdaptive;

// The input side and the holder of all shared state: joins the multicast group, cuts the
// stream into 1316-byte chunks, records them and hands them to the caller registry.
// Settings are written once by setParams before any thread starts; serve() keeps the main
// thread and ends the process itself.
class LeftServer {
public:
    static constexpr std::int32_t kChunkSize = 1316;
    static constexpr std::int32_t kIncomingChunks = 10;
    static constexpr int kReceiveBufferBytes = 6553600;

    LeftServer();

    void setParams(const SourceAddress& source, const SrtListenParams& srt, bool dump);
    [[noreturn]] void serve();

    const std::string& group() const { return group_; }
    const std::string& port() const { return port_; }
    const std::string& iface() const { return iface_; }
    const SrtListenParams& srt() const { return srt_; }
    bool dump() const { return dump_; }

    RightServer& getRightServer() { return rightServer_; }
    BitrateHistory& inputHistory() { return inputHistory_; }
    StreamRecorder& recorder() { return recorder_; }

    // Sampler thread: one input bitrate sample.
    void sampleInput(const std::string& time, std::int64_t nowMs);
    // Counts received bytes (receiver thread); exposed for the sampler's tests.
    void addReceivedBytes(std::int64_t bytes) {
        bytesReceived_.fetch_add(bytes, std::memory_order_relaxed);
    }
    void setLastSampleMs(std::int64_t ms) { lastSampleMs_.store(ms, std::memory_order_relaxed); }

private:
    bool openSocket();
    bool bindAndJoin();
    void tuneReceiveBuffer();
    [[noreturn]] void receiveLoop();
    void handleDatagram(const std::uint8_t* data, const platform::UdpSocket::Datagram& datagram,
                        RingBufferAdaptive& incoming, std::uint8_t* chunk);
    void reportOversize(int fullLength);
    [[noreturn]] void fatalStop();
    [[noreturn]] void stopReceiving();

    std::string group_;
    std::string port_;
    std::string iface_;
    SrtListenParams srt_;
    RightServer rightServer_;
    BitrateHistory inputHistory_;
    platform::UdpSocket sock_;
    bool dump_ = false;
    StreamRecorder recorder_;
    std::atomic<std::int64_t> bytesReceived_{0};
    std::int64_t bytesAtLastSample_ = 0; // sampler only
    std::atomic<std::int64_t> lastSampleMs_{0};
    StatsSampler sampler_;
    std::int64_t oversizeDropped_ = 0;   // receiver only
    std::int64_t lastOversizeLogMs_ = 0; // receiver only
};

} // namespace vandra
