#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "srt/bitratehistory.h"

namespace vandra {

class RingBufferAdaptive;

// One connected SRT caller: its own ring buffer, filled by the receiver, and its own thread
// that sends the buffer's chunks. Only the sending loop ends a caller.
class ClientHandler {
public:
    static constexpr std::int32_t kChunkSize = 1316;
    static constexpr std::int32_t kRingChunks = 1000;

    // `clientsMutex` is the registry's lock, under which `ring` is published and withdrawn.
    explicit ClientHandler(std::mutex& clientsMutex);
    ~ClientHandler(); // joins the sending thread; never called on that thread
    ClientHandler(const ClientHandler&) = delete;
    ClientHandler& operator=(const ClientHandler&) = delete;

    // Marks the caller active and starts its sending thread.
    void start(std::int32_t socket);
    // Adds one bitrate sample from the bytes sent since the last one. Sampler thread, under
    // the clients mutex.
    void sampleBitrate(std::string time, std::int64_t nowMs);

    // Copies a chunk into this caller's buffer, if the sending loop has published one.
    // Receiver thread, under the clients mutex.
    void pushChunk(const std::uint8_t* data, std::int32_t length);

    bool isActive() const { return active_.load(std::memory_order_acquire); }
    const std::string& url() const { return url_; }
    void setUrl(std::string url) { url_ = std::move(url); }
    std::int64_t created() const { return created_; }
    BitrateHistory& history() { return history_; }
    const BitrateHistory& history() const { return history_; }

private:
    void run();
    void publishRing(RingBufferAdaptive* ring);
    void tearDown(std::unique_ptr<RingBufferAdaptive> ring);

    std::mutex& clientsMutex_;
    BitrateHistory history_;
    std::string url_;                         // "ip:port", set by the accept thread
    std::int64_t created_ = 0;                // ms since 1970 when started
    std::atomic<bool> active_{false};         // cleared only by the sending loop
    std::int32_t socket_ = 0;                 // SRT socket; 0 once closed
    RingBufferAdaptive* ring_ = nullptr;      // owned by run(); guarded by the clients mutex
    std::atomic<std::uint64_t> bytesSent_{0}; // byteSentUniqueTotal of the latest statistics
    std::uint64_t bytesAtLastSample_ = 0;     // sampler only
    std::atomic<std::int64_t> lastSampleMs_{0};
    std::unique_ptr<std::thread> thread_;
};

} // namespace vandra
