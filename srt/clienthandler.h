#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/bitratehistory.h"
#include "core/chunk.h"
#include "core/mutex.h"

namespace vandra {

class RingBufferAdaptive;

// One connected SRT caller: its own ring buffer, filled by the receiver, and its own thread
// that sends what the buffer holds. Only the sending loop ends a caller.
//
// In live mode the receiver hands a chunk straight to SRT when this caller has no backlog and
// its thread is not sending; the buffer and the thread take over whenever SRT has no room or
// chunks are waiting, so the order of chunks never changes. This keeps a thread wake-up per
// chunk per caller off the common path.
//
// Lock order: the registry's clients mutex, then sendMutex_, then the ring buffer's mutex.
class ClientHandler {
public:
    static constexpr std::int32_t kRingChunks = 1000;
    // A caller that falls further behind than this is disconnected instead of letting its
    // buffer, and the server's memory, grow without bound.
    static constexpr std::int32_t kMaxBacklogBytes = 25 * kChunkSize * kRingChunks;

    // `clientsMutex` is the registry's lock, under which `ring` is published and withdrawn.
    ClientHandler(Mutex& clientsMutex, bool liveMode);
    ~ClientHandler(); // joins the sending thread; never called on that thread
    ClientHandler(const ClientHandler&) = delete;
    ClientHandler& operator=(const ClientHandler&) = delete;

    // Marks the caller active and starts its sending thread.
    void start(std::int32_t socket);
    // Adds one bitrate sample from the bytes sent since the last one. Sampler thread, without
    // the clients mutex: it reads SRT's statistics.
    void sampleBitrate(std::string time, std::int64_t steadyMs);

    // Passes one chunk on to this caller, if its sending loop has published its buffer.
    // Receiver thread, under the clients mutex.
    void deliver(const std::uint8_t* data, std::int32_t length) REQUIRES(clientsMutex_);
    // For the registry, which holds the same mutex under its own name.
    void assertRegistryLocked() const ASSERT_CAPABILITY(clientsMutex_) {}

    bool isActive() const { return active_.load(std::memory_order_acquire); }
    const std::string& url() const { return url_; }
    void setUrl(std::string url) { url_ = std::move(url); }
    std::int64_t created() const { return created_; }
    BitrateHistory& history() { return history_; }
    const BitrateHistory& history() const { return history_; }

private:
    enum class SendState { Drained, NoRoom, Failed };

    void run();
    bool prepareSocket();
    bool connectionLost() const;
    bool connectionUsable() const;
    SendState sendBacklog(RingBufferAdaptive& ring) EXCLUDES(sendMutex_);
    SendState sendPending() REQUIRES(sendMutex_);
    bool trySendDirect(const std::uint8_t* data, std::int32_t length) REQUIRES(clientsMutex_);
    void waitForWork(bool noRoom) EXCLUDES(waitMutex_);
    void wakeSender() EXCLUDES(waitMutex_);
    void publishRing(RingBufferAdaptive* ring) EXCLUDES(clientsMutex_);
    void releaseRingWhenIdle(RingBufferAdaptive& ring, bool busy) EXCLUDES(clientsMutex_);
    void tearDown(std::unique_ptr<RingBufferAdaptive> ring) EXCLUDES(clientsMutex_);

    Mutex& clientsMutex_;
    const bool liveMode_;
    BitrateHistory history_;
    std::string url_;                     // "ip:port", set by the accept thread
    std::int64_t created_ = 0;            // wall-clock ms since 1970 when started
    std::atomic<bool> active_{false};     // cleared only by the sending loop
    std::atomic<std::int32_t> socket_{0}; // SRT socket; 0 once closed
    // owned by run(); published and withdrawn under the clients mutex
    RingBufferAdaptive* ring_ GUARDED_BY(clientsMutex_) = nullptr;
    bool overflowed_ GUARDED_BY(clientsMutex_) = false;
    std::atomic<bool> fellBehind_{false}; // set once the backlog limit was hit
    std::int64_t ringIdleSinceMs_ = 0;    // sending thread only

    // guards pending_, pendingLength_, pendingSent_ and every send on the socket, so that
    // chunks leave in the order they came whichever thread sends them
    Mutex sendMutex_ ACQUIRED_AFTER(clientsMutex_);
    std::array<std::uint8_t, kChunkSize> pending_ GUARDED_BY(sendMutex_){}; // popped, not sent
    std::int32_t pendingLength_ GUARDED_BY(sendMutex_) = 0;
    std::int32_t pendingSent_ GUARDED_BY(sendMutex_) = 0;

    // guards wakeRequested_: set for every chunk that went to the buffer since the sending
    // thread last looked, so none waits for a timeout; the thread sleeps on wakeUp_
    Mutex waitMutex_;
    std::condition_variable wakeUp_;
    bool wakeRequested_ GUARDED_BY(waitMutex_) = false;

    RateMeter sendRate_;
    std::uint64_t bytesSent_ = 0; // sampler only: SRT's count at the latest sample
    std::unique_ptr<std::thread> thread_;
};

} // namespace vandra
