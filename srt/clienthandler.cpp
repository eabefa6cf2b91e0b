#include "srt/clienthandler.h"

#include <srt/srt.h>

#include "app/logger.h"
#include "ingest/ringbuffer_adaptive.h"
#include "platform/platform.h"
#include "srt/statssampler.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "clienthandler";

// The longest wait while a chunk is waiting for room in SRT's send buffer.
constexpr auto kNoRoomWait = std::chrono::milliseconds(5);
// With nothing to send the thread only checks the connection; new data ends the wait early.
// A second is soon enough to notice a broken connection; each wake-up of 50 idle callers
// costs as much CPU as libsrt itself spends on them.
constexpr auto kIdleWait = std::chrono::milliseconds(1000);
constexpr int kStatsFailureLimit = 10;

bool isWouldBlock() {
    return srt_getlasterror(nullptr) == SRT_EASYNCSND;
}
} // namespace

ClientHandler::ClientHandler(std::mutex& clientsMutex, bool liveMode)
    : clientsMutex_(clientsMutex), liveMode_(liveMode) {}

ClientHandler::~ClientHandler() {
    LOG_LINE << "del client (try del thread)";
    if (thread_ && thread_->joinable() && thread_->get_id() != std::this_thread::get_id()) {
        thread_->join();
    }
}

void ClientHandler::start(std::int32_t socket) {
    socket_.store(socket);
    active_.store(true, std::memory_order_release);
    created_ = platform::nowMs();
    thread_ = std::make_unique<std::thread>(&ClientHandler::run, this);
}

void ClientHandler::deliver(const std::uint8_t* data, std::int32_t length) {
    if (ring_ == nullptr || overflowed_) {
        return;
    }
    if (liveMode_ && trySendDirect(data, length)) {
        return;
    }
    if (ring_->available() + length > kMaxBacklogBytes) {
        overflowed_ = true;
        fellBehind_.store(true);
    } else {
        ring_->push(data, length);
    }
    wakeSender();
}

bool ClientHandler::trySendDirect(const std::uint8_t* data, std::int32_t length) {
    std::unique_lock<std::mutex> lock(sendMutex_, std::try_to_lock);
    if (!lock.owns_lock() || pendingLength_ > 0 || ring_->available() > 0) {
        return false;
    }
    // Non-blocking socket: when SRT has no room this fails at once and the chunk goes to the
    // buffer; any other failure is left to the sending loop to find and report.
    return srt_send(socket_.load(std::memory_order_relaxed), reinterpret_cast<const char*>(data),
                    length) == length;
}

void ClientHandler::wakeSender() {
    // Only reached when a chunk went to the buffer, not on the direct path.
    std::lock_guard<std::mutex> lock(waitMutex_);
    wakeRequested_ = true;
    wakeUp_.notify_one();
}

void ClientHandler::waitForWork(bool noRoom) {
    if (noRoom) {
        // More input does not make room in SRT's send buffer: wait the full step.
        std::this_thread::sleep_for(kNoRoomWait);
    }
    std::unique_lock<std::mutex> lock(waitMutex_);
    if (!noRoom) {
        wakeUp_.wait_for(lock, kIdleWait, [this] { return wakeRequested_; });
    }
    wakeRequested_ = false;
}

void ClientHandler::publishRing(RingBufferAdaptive* ring) {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    ring_ = ring;
}

bool ClientHandler::prepareSocket() {
    if (!liveMode_) {
        return true;
    }
    const bool blocking = false;
    return srt_setsockflag(socket_.load(), SRTO_SNDSYN, &blocking, sizeof(blocking)) == 0;
}

bool ClientHandler::connectionUsable() const {
    const SRT_SOCKSTATUS state = srt_getsockstate(socket_.load(std::memory_order_relaxed));
    return state == SRTS_CONNECTED;
}

ClientHandler::SendState ClientHandler::sendPending() {
    while (pendingSent_ < pendingLength_) {
        const int n = srt_send(socket_.load(std::memory_order_relaxed),
                               reinterpret_cast<const char*>(pending_.data() + pendingSent_),
                               pendingLength_ - pendingSent_);
        if (n < 1) {
            return n < 0 && isWouldBlock() ? SendState::NoRoom : SendState::Failed;
        }
        pendingSent_ += n;
    }
    pendingLength_ = 0;
    pendingSent_ = 0;
    return SendState::Drained;
}

ClientHandler::SendState ClientHandler::sendBacklog(RingBufferAdaptive& ring) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    for (;;) {
        if (pendingLength_ > 0) {
            if (const SendState state = sendPending(); state != SendState::Drained) {
                return state;
            }
        }
        if (ring.available() < kChunkSize) {
            return SendState::Drained;
        }
        if (!ring.pop(pending_.data())) {
            LOG_LINE << "-- ERR of logic";
            return SendState::Drained;
        }
        pendingLength_ = kChunkSize;
    }
}

void ClientHandler::run() {
    LOG_LINE << "-- start ClientHandler loop";
    auto ring = std::make_unique<RingBufferAdaptive>("client", kChunkSize, kRingChunks);
    const bool socketReady = prepareSocket();
    if (!socketReady) {
        LOG_LINE << "-- cannot make the caller's socket non-blocking: " << srt_getlasterror_str();
    }
    publishRing(ring.get());
    platform::raiseThreadPriority();
    lastSampleMs_.store(platform::nowMs(), std::memory_order_relaxed);

    int statsFailures = 0;
    while (socketReady && active_.load(std::memory_order_relaxed)) {
        if (!connectionUsable()) {
            if (++statsFailures >= kStatsFailureLimit) {
                break;
            }
            LOG_LINE << "-- WARN: stat not available";
            continue;
        }
        statsFailures = 0;
        if (fellBehind_.load()) {
            LOG_LINE << "-- caller fell more than " << kMaxBacklogBytes
                     << " bytes behind the input: disconnecting it";
            break;
        }
        const SendState state = sendBacklog(*ring);
        if (state == SendState::Failed) {
            LOG_LINE << "-- ERR: send";
            break;
        }
        waitForWork(state == SendState::NoRoom);
    }
    tearDown(std::move(ring));
}

void ClientHandler::tearDown(std::unique_ptr<RingBufferAdaptive> ring) {
    LOG_LINE << "stop srt recv";
    // Withdrawn under the clients mutex, so no delivery still reaches it, and before `active`
    // is cleared: after that the registry may join this thread while holding the lock.
    publishRing(nullptr);
    active_.store(false, std::memory_order_release);
    history_.reset();
    ring.reset();
    srt_close(socket_.load());
    socket_.store(0);
}

void ClientHandler::sampleBitrate(std::string time, std::int64_t nowMs) {
    if (!isActive()) {
        return;
    }
    // Read here rather than before every chunk: the sampler is the only reader.
    SRT_TRACEBSTATS stats{};
    const std::uint64_t total = srt_bistats(socket_.load(), &stats, 0, 1) == 0
                                    ? static_cast<std::uint64_t>(stats.byteSentUniqueTotal)
                                    : bytesAtLastSample_;
    const auto elapsed =
        static_cast<std::uint32_t>(nowMs - lastSampleMs_.load(std::memory_order_relaxed));
    lastSampleMs_.store(nowMs, std::memory_order_relaxed);
    const std::uint64_t delta = total - bytesAtLastSample_;
    bytesAtLastSample_ = total;
    history_.add({std::move(time), StatsSampler::kbps(delta, elapsed)});
}

} // namespace vandra
