#include "srt/clienthandler.h"

#include <algorithm>

#include <srt/srt.h>

#include "core/clock.h"
#include "core/logger.h"
#include "core/ringbuffer_adaptive.h"
#include "core/utils.h"
#include "ingest/gopcache.h"
#include "platform/platform.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "clienthandler";

// The longest wait while a chunk is waiting for room in SRT's send buffer.
constexpr auto kNoRoomWait = std::chrono::milliseconds(5);
// With nothing to send the thread only checks the connection; new data ends the wait early.
// A second is soon enough to notice a broken connection; each wake-up of 50 idle callers
// costs as much CPU as libsrt itself spends on them.
constexpr auto kIdleWait = std::chrono::milliseconds(1000);
// File mode sends block; a caller that stops reading must still come back to see that it fell
// behind and be cut off.
constexpr int kFileModeSendTimeoutMs = 500;
// A socket neither connected nor broken is looked at again this many times, this far apart,
// before the caller counts as lost: some 50 ms to settle, not a few microseconds.
constexpr int kStatsFailureLimit = 10;
constexpr auto kStatsRetryWait = std::chrono::milliseconds(5);
// How often the sending loop looks whether the caller still acknowledges what it is sent, and
// how long without an acknowledgement while sending makes a broken link "lost" rather than
// "hung up" (libsrt gives up on a silent peer after 5 s).
constexpr std::int64_t kPeerCheckMs = 1000;
constexpr std::int64_t kPeerSilentMs = 3000;
// The shortest sleep between paced sends: a few chunks go per wake-up rather than one, and
// the pacer's burst allowance keeps the rate when a wake-up comes late.
constexpr std::int64_t kMinPaceSleepUs = 2000;
// How long a buffer stays empty before its storage goes back to the system: long enough that
// a caller that backs up now and then does not allocate anew each time.
constexpr std::int64_t kRingReleaseAfterMs = 2000;
// How often a caller waiting for a catch-up slot asks again.
constexpr auto kTurnPollWait = std::chrono::milliseconds(20);

bool isNoRoom() {
    const int error = srt_getlasterror(nullptr);
    return error == SRT_EASYNCSND || error == SRT_ETIMEOUT;
}
} // namespace

const char* endReasonCode(EndReason reason) {
    switch (reason) {
    case EndReason::Closed:
        return "closed";
    case EndReason::Lost:
        return "lost";
    case EndReason::FellBehind:
        return "fell_behind";
    case EndReason::SendError:
        return "error";
    case EndReason::Withdrawn:
        return "withdrawn";
    case EndReason::None:
        break;
    }
    return "none";
}

namespace {
const char* endReasonText(EndReason reason) {
    switch (reason) {
    case EndReason::Closed:
        return "hung up";
    case EndReason::Lost:
        return "connection lost";
    case EndReason::FellBehind:
        return "fell behind the input";
    case EndReason::SendError:
        return "send error";
    case EndReason::Withdrawn:
        return "access withdrawn";
    case EndReason::None:
        break;
    }
    return "ended";
}
} // namespace

ClientHandler::ClientHandler(Mutex& clientsMutex, bool liveMode, const GopCache* fastStart,
                             CallerShared shared)
    : clientsMutex_(clientsMutex), liveMode_(liveMode),
      maxBacklogBytes_(shared.maxBacklogBytes > 0 ? shared.maxBacklogBytes : kMaxBacklogBytes),
      fastStart_(fastStart), shared_(shared) {}

ClientHandler::~ClientHandler() {
    LOG_LINE << "del client (try del thread)";
    if (thread_ && thread_->joinable() && thread_->get_id() != std::this_thread::get_id()) {
        thread_->join();
    }
}

void ClientHandler::start(std::int32_t socket) {
    socket_.store(socket);
    socketId_ = socket;
    startedMs_ = steadyMs();
    active_.store(true, std::memory_order_release);
    if (shared_.activeCallers != nullptr) {
        shared_.activeCallers->fetch_add(1, std::memory_order_relaxed);
    }
    created_ = wallMs();
    thread_ = std::make_unique<std::thread>(&ClientHandler::run, this);
}

void ClientHandler::deliver(const std::uint8_t* data, std::int32_t length) {
    if (ring_ == nullptr || overflowed_) {
        return;
    }
    if (keyFrameDueMs_ != 0 && !startAtKeyFrame()) {
        return;
    }
    if (liveMode_ && trySendDirect(data, length)) {
        return;
    }
    if (ring_->available() + length > maxBacklogBytes_) {
        overflowed_ = true;
        fellBehind_.store(true);
    } else {
        ring_->push(data, length);
    }
    backlog_.store(ring_->available(), std::memory_order_relaxed);
    wakeSender();
}

// A caller that gave way takes nothing until a chunk starts a new GOP in the cache, then the
// tables and that chunk from the cache. True when the chunk is to be delivered as usual.
bool ClientHandler::startAtKeyFrame() {
    if (fastStart_->cachedChunks() == 1) {
        keyFrameDueMs_ = 0;
        RingBufferAdaptive* const ring = ring_;
        fastStart_->visit(steadyMs(),
                          [ring](const std::uint8_t* chunk) { ring->push(chunk, kChunkSize); });
        backlog_.store(ring_->available(), std::memory_order_relaxed);
        wakeSender();
        return false;
    }
    if (steadyMs() < keyFrameDueMs_) {
        return false;
    }
    keyFrameDueMs_ = 0;
    return true;
}

void ClientHandler::cutForBacklogBudget() {
    overflowed_ = true;
    cutForBudget_.store(true);
    fellBehind_.store(true);
    wakeSender();
}

void ClientHandler::withdrawAccess(const char* why) {
    overflowed_ = true;
    withdrawn_.store(why);
    wakeSender();
}

bool ClientHandler::trySendDirect(const std::uint8_t* data, std::int32_t length) {
    if (!sendMutex_.tryLock()) {
        return false;
    }
    MutexLock lock(sendMutex_, std::adopt_lock);
    if (pendingLength_ > 0 || ring_->available() > 0) {
        return false;
    }
    // Non-blocking socket: when SRT has no room this fails at once and the chunk goes to the
    // buffer; any other failure is left to the sending loop to find and report.
    return srt_send(socket_.load(std::memory_order_relaxed), reinterpret_cast<const char*>(data),
                    length) == length;
}

void ClientHandler::wakeSender() {
    // Only reached when a chunk went to the buffer, not on the direct path.
    MutexLock lock(waitMutex_);
    wakeRequested_ = true;
    wakeUp_.notify_one();
}

void ClientHandler::waitForWork(SendState state) {
    if (state == SendState::NoRoom) {
        // More input does not make room in SRT's send buffer: wait the full step.
        std::this_thread::sleep_for(kNoRoomWait);
    } else if (state == SendState::Paced) {
        // The backlog is waiting for its turn, not for input.
        std::this_thread::sleep_for(std::chrono::microseconds(
            std::clamp<std::int64_t>(pacedWaitUs_, kMinPaceSleepUs, CatchUpPacer::kBurstUs)));
    } else if (state == SendState::WaitingTurn) {
        std::this_thread::sleep_for(kTurnPollWait);
    }
    UniqueLock lock(waitMutex_);
    if (state == SendState::Drained && !wakeRequested_) {
        lock.waitFor(wakeUp_, kIdleWait);
    }
    wakeRequested_ = false;
}

void ClientHandler::publishRing(RingBufferAdaptive* ring) {
    MutexLock lock(clientsMutex_);
    if (ring != nullptr && fastStart_ != nullptr) {
        fillFromCache(*ring);
    }
    ring_ = ring;
}

void ClientHandler::reserveForCache(RingBufferAdaptive& ring) {
    std::int32_t cached = 0;
    {
        MutexLock lock(clientsMutex_);
        cached = fastStart_->cachedChunks();
    }
    if (cached == 0) {
        return; // starts live, like any caller
    }
    // Taken and its pages brought in here, outside the lock, so that under it only the copy
    // remains; the margin holds what arrives while the cache is sent, and what the cache
    // gains meanwhile.
    ring.reserve((cached + 1 + kRingChunks) * kChunkSize, (cached + 1) * kChunkSize);
}

void ClientHandler::fillFromCache(RingBufferAdaptive& ring) {
    // The receiver pushes to the cache and delivers under this same lock, so the next chunk
    // it delivers here is the one after the cache's last.
    const std::int64_t nowMs = steadyMs();
    const std::int32_t chunks = fastStart_->visit(
        nowMs, [&ring](const std::uint8_t* chunk) { ring.push(chunk, kChunkSize); });
    faststartChunks_.store(chunks, std::memory_order_relaxed);
    cacheBytesPerSecond_ = chunks > 0 ? fastStart_->bytesPerSecond(nowMs) : 0;
    backlog_.store(ring.available(), std::memory_order_relaxed);
}

void ClientHandler::beginFastStart(std::int64_t nowMs) {
    if (faststartChunks() == 0) {
        LOG_LINE << "-- caller " << url_ << " (socket " << socketId_
                 << ") starts live: nothing in the fast-start cache";
        return;
    }
    if (shared_.catchUps == nullptr || shared_.catchUps->tryAcquire()) {
        holdsCatchUpSlot_ = shared_.catchUps != nullptr;
        startCatchUp();
    } else {
        waitingTurnSinceMs_ = nowMs; // the backlog waits in the buffer meanwhile
        gopChunksWhenWaitBegan_ = faststartChunks() - 1;
    }
}

ClientHandler::SendState ClientHandler::awaitCatchUpTurn(RingBufferAdaptive& ring,
                                                         std::int64_t nowMs) {
    if (shared_.catchUps->tryAcquire()) {
        holdsCatchUpSlot_ = true;
        waitingTurnSinceMs_ = -1;
        startCatchUp();
        return sendBacklog(ring);
    }
    if (takeNewKeyFrame(ring, nowMs)) {
        return sendBacklog(ring);
    }
    if (nowMs - waitingTurnSinceMs_ <= shared_.latencyMs + kCatchUpWaitMs) {
        return SendState::WaitingTurn;
    }
    giveWay(ring, nowMs);
    return SendState::Drained;
}

// A key frame that came while the caller waited serves it as well as its turn, and sooner than
// giving way: from there the cache holds only what came since, a live caller's backlog, which
// needs no slot. Without this, a storm's waiting callers skipped that key frame for the next.
bool ClientHandler::takeNewKeyFrame(RingBufferAdaptive& ring, std::int64_t nowMs) {
    std::int32_t chunks = 0;
    {
        MutexLock lock(clientsMutex_);
        const std::int32_t cached = fastStart_->cachedChunks();
        if (cached == 0 || cached >= gopChunksWhenWaitBegan_) {
            return false; // no new GOP yet, or nothing to start from
        }
        // The receiver pushes only under this lock; the buffer was reserved for the larger
        // backlog it held, so this refill allocates nothing.
        ring.clear();
        RingBufferAdaptive* const target = &ring;
        chunks = fastStart_->visit(
            nowMs, [target](const std::uint8_t* chunk) { target->push(chunk, kChunkSize); });
    }
    waitingTurnSinceMs_ = -1;
    faststartChunks_.store(chunks, std::memory_order_relaxed);
    backlog_.store(ring.available(), std::memory_order_relaxed);
    if (chunks > 0) {
        startCatchUp(" at a key frame that came while it waited for a catch-up slot");
    }
    return true;
}

// The backlog would reach the caller too late to be shown: it starts live at the next key
// frame instead, which costs the uplink no more than any live caller.
void ClientHandler::giveWay(RingBufferAdaptive& ring, std::int64_t nowMs) {
    waitingTurnSinceMs_ = -1;
    {
        // The receiver pushes only under this lock, so nothing writes while the buffer empties.
        MutexLock lock(clientsMutex_);
        ring.clear();
        keyFrameDueMs_ = nowMs + kKeyFrameWaitMs;
    }
    faststartChunks_.store(0, std::memory_order_relaxed);
    backlog_.store(0, std::memory_order_relaxed);
    if (shared_.catchUps->noteGaveWay(nowMs)) {
        LOG_LINE << "-- caller " << url_ << " (socket " << socketId_
                 << ") and the callers after it in this burst start live at the next key "
                    "frame: all "
                 << shared_.catchUps->slots() << " catch-up slots busy for "
                 << shared_.latencyMs + kCatchUpWaitMs << " ms ("
                 << shared_.catchUps->gaveWayTotal() << " callers so far)";
    }
}

void ClientHandler::endCatchUp() {
    catchUp_.stop();
    if (holdsCatchUpSlot_) {
        shared_.catchUps->release();
        holdsCatchUpSlot_ = false;
    }
}

void ClientHandler::startCatchUp(std::string_view when) {
    const std::int32_t chunks = faststartChunks();
    const auto paceBytesPerSecond =
        static_cast<std::int64_t>(static_cast<double>(cacheBytesPerSecond_) * kCatchUpSpeed);
    catchUp_.start(paceBytesPerSecond, steadyUs());
    LOG_LINE << "-- caller " << url_ << " (socket " << socketId_
             << ") starts from the fast-start cache" << when << ": " << chunks
             << " chunks, sent at " << paceBytesPerSecond * 8 / 1000
             << " kbit/s until it has caught up";
}

// Pacing ends when the backlog is gone: what follows is live.
void ClientHandler::watchCatchUp(SendState state, std::int64_t nowMs) {
    if (!catchUp_.active()) {
        return;
    }
    const std::int64_t elapsedMs = nowMs - catchUp_.startedUs() / 1000;
    if (state == SendState::Drained) {
        endCatchUp();
        caughtUpAfterMs_ = elapsedMs;
    } else if (nowMs - paceCheckedMs_ >= kPaceCheckMs) {
        paceCheckedMs_ = nowMs;
        followInputRate(nowMs);
    }
    if (catchUp_.active() && elapsedMs > kCatchUpLimitMs && !saidStillBehind_) {
        saidStillBehind_ = true;
        LOG_LINE << "-- caller " << url_ << " (socket " << socketId_ << ") still behind after "
                 << kCatchUpLimitMs / 1000 << " s: it keeps its pace";
    }
}

// The rate the cache saw when the caller joined can be below the stream's (an encoder that
// has just started, a quiet scene); paced at a multiple of that, a caller could stay behind.
void ClientHandler::followInputRate(std::int64_t nowMs) {
    std::int64_t inputBytesPerSecond = 0;
    {
        MutexLock lock(clientsMutex_);
        inputBytesPerSecond = fastStart_->bytesPerSecond(nowMs);
    }
    catchUp_.raiseTo(
        static_cast<std::int64_t>(static_cast<double>(inputBytesPerSecond) * kCatchUpSpeed),
        steadyUs());
}

// A caller that fell behind and caught up gives its buffer's memory back instead of holding
// it for as long as it stays connected.
void ClientHandler::releaseRingWhenIdle(RingBufferAdaptive& ring, bool busy) {
    const std::int64_t nowMs = steadyMs();
    if (busy || ringIdleSinceMs_ == 0) {
        ringIdleSinceMs_ = nowMs;
        return;
    }
    if (nowMs - ringIdleSinceMs_ < kRingReleaseAfterMs || !ring.holdsStorage()) {
        return;
    }
    // The receiver pushes only under the clients mutex, so while it is held nothing writes.
    // The storage is freed after the lock.
    RingBufferAdaptive::Storage released;
    MutexLock lock(clientsMutex_);
    ring.releaseStorage(&released);
}

bool ClientHandler::prepareSocket() {
    const SRTSOCKET sock = socket_.load();
    // Closing must not wait for unsent data: a caller is closed only when it has gone or
    // fell behind, and a lingering close would hold this thread for minutes.
    const linger noLinger{0, 0};
    if (srt_setsockflag(sock, SRTO_LINGER, &noLinger, sizeof(noLinger)) != 0) {
        LOG_LINE << "-- cannot turn lingering off on the caller's socket: "
                 << srt_getlasterror_str();
    }
    if (!liveMode_) {
        const int timeout = kFileModeSendTimeoutMs;
        if (srt_setsockflag(sock, SRTO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) {
            LOG_LINE << "-- cannot set a send timeout on the caller's socket: "
                     << srt_getlasterror_str();
            return false;
        }
        return true;
    }
    const bool blocking = false;
    if (srt_setsockflag(sock, SRTO_SNDSYN, &blocking, sizeof(blocking)) != 0) {
        LOG_LINE << "-- cannot make the caller's socket non-blocking: " << srt_getlasterror_str();
        return false;
    }
    return true;
}

bool ClientHandler::connectionLost() const {
    const SRT_SOCKSTATUS state = srt_getsockstate(socket_.load(std::memory_order_relaxed));
    return state == SRTS_BROKEN || state == SRTS_CLOSING || state == SRTS_CLOSED ||
           state == SRTS_NONEXIST;
}

bool ClientHandler::connectionUsable() const {
    return srt_getsockstate(socket_.load(std::memory_order_relaxed)) == SRTS_CONNECTED;
}

ClientHandler::SendState ClientHandler::sendPending() {
    while (pendingSent_ < pendingLength_) {
        const int n = srt_send(socket_.load(std::memory_order_relaxed),
                               reinterpret_cast<const char*>(pending_.data() + pendingSent_),
                               pendingLength_ - pendingSent_);
        if (n < 1) {
            return n < 0 && isNoRoom() ? SendState::NoRoom : SendState::Failed;
        }
        pendingSent_ += n;
    }
    pendingLength_ = 0;
    pendingSent_ = 0;
    return SendState::Drained;
}

ClientHandler::SendState ClientHandler::sendBacklog(RingBufferAdaptive& ring) {
    MutexLock lock(sendMutex_);
    for (;;) {
        if (pendingLength_ > 0) {
            if (const SendState state = sendPending(); state != SendState::Drained) {
                return state;
            }
        }
        if (ring.available() < kChunkSize) {
            return SendState::Drained;
        }
        if (catchUp_.active()) {
            pacedWaitUs_ = catchUp_.take(kChunkSize, steadyUs());
            if (pacedWaitUs_ > 0) {
                return SendState::Paced;
            }
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
    if (!prepareSocket()) {
        // Nothing published: the receiver never pushes for a caller that cannot be sent to.
        tearDown(nullptr, EndReason::SendError);
        return;
    }
    auto ring = std::make_unique<RingBufferAdaptive>(kChunkSize, kRingChunks);
    if (fastStart_ != nullptr) {
        reserveForCache(*ring);
    }
    publishRing(ring.get());
    if (fastStart_ != nullptr) {
        beginFastStart(steadyMs());
    }
    platform::raiseThreadPriority();
    sendRate_.start(steadyMs());

    EndReason reason = EndReason::None;
    int statsFailures = 0;
    while (reason == EndReason::None && active_.load(std::memory_order_relaxed)) {
        const std::int64_t now = steadyMs();
        // A caller that hung up or whose link broke cannot be sent to: that is a failed send.
        if (connectionLost()) {
            LOG_LINE << "-- ERR: send";
            reason = whyConnectionEnded(now);
            break;
        }
        if (!connectionUsable()) {
            if (++statsFailures >= kStatsFailureLimit) {
                reason = EndReason::Lost;
                break;
            }
            LOG_LINE << "-- WARN: stat not available";
            std::this_thread::sleep_for(kStatsRetryWait);
            continue;
        }
        statsFailures = 0;
        if (withdrawn_.load() != nullptr) {
            reason = EndReason::Withdrawn;
            break;
        }
        if (fellBehind_.load()) {
            logFellBehind();
            reason = EndReason::FellBehind;
            break;
        }
        watchPeer(now);
        const bool hadBacklog = ring->available() > 0;
        const SendState state =
            waitingTurnSinceMs_ >= 0 ? awaitCatchUpTurn(*ring, now) : sendBacklog(*ring);
        backlog_.store(ring->available(), std::memory_order_relaxed);
        if (state == SendState::Failed) {
            LOG_LINE << "-- ERR: send";
            reason = connectionLost() ? whyConnectionEnded(now) : EndReason::SendError;
            break;
        }
        watchCatchUp(state, now);
        releaseRingWhenIdle(*ring, hadBacklog || state != SendState::Drained);
        waitForWork(state);
    }
    tearDown(std::move(ring), reason);
}

void ClientHandler::logFellBehind() {
    if (cutForBudget_.load()) {
        LOG_LINE << "-- caller " << url_ << " (socket " << socketId_ << ") is the furthest behind ("
                 << backlogBytes()
                 << " bytes) while all callers' backlogs pass maxbacklog: disconnecting it";
        return;
    }
    LOG_LINE << "-- caller fell more than " << maxBacklogBytes_
             << " bytes behind the input: disconnecting it";
}

void ClientHandler::watchPeer(std::int64_t nowMs) {
    if (nowMs - peerCheckedMs_ < kPeerCheckMs) {
        return;
    }
    const std::int64_t packetsBefore = packetsSeen_;
    const int acksBefore = acksSeen_;
    peerCheckedMs_ = nowMs;
    SRT_TRACEBSTATS now{};
    if (srt_bistats(socket_.load(std::memory_order_relaxed), &now, 0, 1) != 0) {
        return;
    }
    acksSeen_ = now.pktRecvACKTotal;
    packetsSeen_ = now.pktSentTotal;
    if (acksSeen_ != acksBefore || peerAnsweredMs_ == 0) {
        peerAnsweredMs_ = nowMs;
    } else if (packetsSeen_ != packetsBefore) {
        sentAfterAnswerMs_ = nowMs;
    }
}

EndReason ClientHandler::whyConnectionEnded(std::int64_t nowMs) const {
    // Packets kept going out while the caller stopped acknowledging them: it vanished.
    const bool silentWhileSending =
        sentAfterAnswerMs_ > peerAnsweredMs_ && nowMs - peerAnsweredMs_ >= kPeerSilentMs;
    return silentWhileSending ? EndReason::Lost : EndReason::Closed;
}

void ClientHandler::tearDown(std::unique_ptr<RingBufferAdaptive> ring, EndReason reason) {
    LOG_LINE << "stop srt recv";
    endCatchUp();
    readStats();
    // Withdrawn under the clients mutex, so no delivery still reaches it, and before `active`
    // is cleared: after that the registry may join this thread.
    publishRing(nullptr);
    endReason_.store(reason);
    ended_ = wallMs();
    if (shared_.activeCallers != nullptr) {
        shared_.activeCallers->fetch_sub(1, std::memory_order_relaxed);
    }
    active_.store(false, std::memory_order_release);
    history_.reset();
    ring.reset();
    backlog_.store(0, std::memory_order_relaxed);
    srt_close(socket_.load());
    socket_.store(0);
    logEnd(reason);
}

void ClientHandler::logEnd(EndReason reason) {
    const CallerStats last = stats();
    const std::int64_t connectedMs = steadyMs() - startedMs_;
    LOG_LINE << "-- caller " << url_ << (user_.empty() ? "" : " user " + escapeForLog(user_))
             << " (socket " << socketId_ << ") ended: " << endReasonText(reason)
             << (reason == EndReason::Withdrawn ? std::string(" (") + withdrawn_.load() + ")" : "")
             << "; connected " << connectedMs / 1000 << "." << connectedMs % 1000 / 100 << " s, "
             << last.sentBytes << " bytes sent";
    if (faststartChunks() > 0) {
        LOG_LINE << "-- caller " << url_ << " (socket " << socketId_
                 << ") fast start: " << faststartChunks() << " chunks from the cache, "
                 << (caughtUpAfterMs_ < 0
                         ? std::string("never caught up")
                         : "caught up after " + std::to_string(caughtUpAfterMs_) + " ms")
                 << "; " << last.droppedPackets << " packets dropped as too late";
    }
}

bool ClientHandler::readStats() {
    SRT_TRACEBSTATS now{};
    if (srt_bistats(socket_.load(), &now, 0, 1) != 0) {
        return false;
    }
    CallerStats read;
    read.rttMs = now.msRTT;
    read.sentBytes = now.byteSentUniqueTotal;
    read.sentPackets = now.pktSentUniqueTotal;
    read.retransmittedPackets = now.pktRetransTotal;
    read.lostPackets = now.pktSndLossTotal;
    read.droppedPackets = now.pktSndDropTotal;
    read.sendBufferMs = now.msSndBuf;
    read.sendRateMbps = now.mbpsSendRate;
    read.bandwidthMbps = now.mbpsBandwidth;
    MutexLock lock(statsMutex_);
    stats_ = read;
    return true;
}

CallerStats ClientHandler::stats() const {
    MutexLock lock(statsMutex_);
    return stats_;
}

void ClientHandler::sampleBitrate(std::string time, std::int64_t steadyMs) {
    if (!isActive()) {
        return;
    }
    readStats();
    history_.add({std::move(time), sendRate_.sample(stats().sentBytes, steadyMs)});
    // The loop may have ended meanwhile and emptied the history before this sample went in;
    // a finished caller must not show up again.
    if (!isActive()) {
        history_.reset();
    }
}

} // namespace vandra
