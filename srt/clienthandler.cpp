#include "srt/clienthandler.h"

#include <array>
#include <chrono>

#include <srt/srt.h>

#include "app/logger.h"
#include "ingest/ringbuffer_adaptive.h"
#include "platform/platform.h"
#include "srt/statssampler.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "clienthandler";

constexpr auto kIdleWait = std::chrono::milliseconds(5);
constexpr int kStatsFailureLimit = 10;

// Sends every byte; returns the length, or the first srt_send result below 1.
std::int32_t sendAll(std::int32_t socket, const std::uint8_t* data, std::int32_t length) {
    std::int32_t sent = 0;
    while (sent < length) {
        const int n = srt_send(socket, reinterpret_cast<const char*>(data + sent), length - sent);
        if (n < 1) {
            return n;
        }
        sent += n;
    }
    return sent;
}

bool sendBufferHasNoRoom(const SRT_TRACEBSTATS& stats) {
    return stats.pktSndBuf > 0 && stats.byteAvailSndBuf < ClientHandler::kChunkSize;
}
} // namespace

ClientHandler::ClientHandler(std::mutex& clientsMutex) : clientsMutex_(clientsMutex) {}

ClientHandler::~ClientHandler() {
    LOG_LINE << "del client (try del thread)";
    if (thread_ && thread_->joinable() && thread_->get_id() != std::this_thread::get_id()) {
        thread_->join();
    }
}

void ClientHandler::start(std::int32_t socket) {
    socket_ = socket;
    active_.store(true, std::memory_order_release);
    created_ = platform::nowMs();
    thread_ = std::make_unique<std::thread>(&ClientHandler::run, this);
}

void ClientHandler::pushChunk(const std::uint8_t* data, std::int32_t length) {
    if (ring_ != nullptr) {
        ring_->push(data, length);
    }
}

void ClientHandler::publishRing(RingBufferAdaptive* ring) {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    ring_ = ring;
}

void ClientHandler::run() {
    LOG_LINE << "-- start ClientHandler loop";
    auto ring = std::make_unique<RingBufferAdaptive>("client", kChunkSize, kRingChunks);
    publishRing(ring.get());
    platform::raiseThreadPriority();
    lastSampleMs_.store(platform::nowMs(), std::memory_order_relaxed);

    std::array<std::uint8_t, kChunkSize> chunk{};
    SRT_TRACEBSTATS stats{};
    int statsFailures = 0;
    while (active_.load(std::memory_order_relaxed)) {
        if (srt_bistats(socket_, &stats, 0, 1) != 0) {
            if (++statsFailures >= kStatsFailureLimit) {
                break;
            }
            LOG_LINE << "-- WARN: stat not available";
            continue;
        }
        statsFailures = 0;
        bytesSent_.store(stats.byteSentUniqueTotal, std::memory_order_relaxed);

        if (ring->available() < kChunkSize || sendBufferHasNoRoom(stats)) {
            std::this_thread::sleep_for(kIdleWait);
            continue;
        }
        if (!ring->pop(chunk.data())) {
            LOG_LINE << "-- ERR of logic";
            continue;
        }
        if (sendAll(socket_, chunk.data(), kChunkSize) < 1) {
            LOG_LINE << "-- ERR: send";
            break;
        }
    }
    tearDown(std::move(ring));
}

void ClientHandler::tearDown(std::unique_ptr<RingBufferAdaptive> ring) {
    LOG_LINE << "stop srt recv";
    // Withdrawn under the clients mutex, so no broadcast still pushes into it, and before
    // `active` is cleared: after that the registry may join this thread while holding the lock.
    publishRing(nullptr);
    active_.store(false, std::memory_order_release);
    history_.reset();
    ring.reset();
    srt_close(socket_);
    socket_ = 0;
}

void ClientHandler::sampleBitrate(std::string time, std::int64_t nowMs) {
    if (!isActive()) {
        return;
    }
    const auto elapsed =
        static_cast<std::uint32_t>(nowMs - lastSampleMs_.load(std::memory_order_relaxed));
    lastSampleMs_.store(nowMs, std::memory_order_relaxed);
    const std::uint64_t total = bytesSent_.load(std::memory_order_relaxed);
    const std::uint64_t delta = total - bytesAtLastSample_;
    bytesAtLastSample_ = total;
    history_.add({std::move(time), StatsSampler::kbps(delta, elapsed)});
}

} // namespace vandra
