#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "core/bitratehistory.h"
#include "core/chunk.h"
#include "core/mutex.h"
#include "srt/catchupbudget.h"
#include "srt/catchuppacer.h"

namespace vandra {

class GopCache;
class RingBufferAdaptive;

// Why a caller's sending loop ended.
enum class EndReason { None, Closed, Lost, FellBehind, SendError, Withdrawn };
// "closed", "lost", "fell_behind", "error", "withdrawn": the label metrics and documents use.
const char* endReasonCode(EndReason reason);

// libsrt's figures for one caller at its latest sample (payload counts are unique: each
// packet of the stream once; retransmissions are counted apart).
struct CallerStats {
    double rttMs = 0;
    std::uint64_t sentBytes = 0;
    std::int64_t sentPackets = 0;
    std::int64_t retransmittedPackets = 0;
    std::int64_t lostPackets = 0;    // reported lost by the caller (NAK)
    std::int64_t droppedPackets = 0; // dropped by the sender as too late
    std::int32_t sendBufferMs = 0;
    double sendRateMbps = 0;
    double bandwidthMbps = 0;
};

// What the registry shares with all its callers; each part may be absent.
struct CallerShared {
    std::atomic<std::int32_t>* activeCallers = nullptr; // counts callers whose loop runs
    CatchUpBudget* catchUps = nullptr;                  // with fast start
    std::int32_t latencyMs = 0;
    std::int32_t maxBacklogBytes = 0; // a caller's backlog cap; 0 or less: kMaxBacklogBytes
};

// One connected SRT caller: its own ring buffer, filled by the receiver, and its own thread
// that sends what the buffer holds. Only the sending loop ends a caller.
//
// In live mode the receiver hands a chunk straight to SRT when this caller has no backlog and
// its thread is not sending; the buffer and the thread take over whenever SRT has no room or
// chunks are waiting, so the order of chunks never changes. This keeps a thread wake-up per
// chunk per caller off the common path.
//
// With fast start the buffer begins with the registry's cached chunks since the latest key
// frame, copied under the clients mutex as the buffer is published, so that cache and live
// chunks join with no gap and no duplicate; the thread sends that backlog at a few times the
// stream's rate until it has caught up, then goes on as above. A catch-up needs a slot of the
// registry's CatchUpBudget: without one the caller waits in its buffer, and after its SRT
// latency plus a second it drops the backlog and starts live at the next key frame.
//
// Lock order: the registry's clients mutex, then sendMutex_, then the ring buffer's mutex.
class ClientHandler {
public:
    static constexpr std::int32_t kRingChunks = 1000;
    // A caller that falls further behind than this is disconnected instead of letting its
    // buffer, and the server's memory, grow without bound.
    static constexpr std::int32_t kMaxBacklogBytes = 25 * kChunkSize * kRingChunks;

    // How much faster than the stream a fast-start caller is sent its backlog. With SRT's
    // headers (3 %) that is 1.8 times the stream on the wire: a link of twice the stream's rate
    // carries it with room left for retransmissions. The key frame comes first either way.
    static constexpr double kCatchUpSpeed = 1.75;
    // A caller still behind after this long says so once; it keeps its pace, and the backlog
    // limits cut it if it never catches up.
    static constexpr std::int64_t kCatchUpLimitMs = 30000;
    // How long a caller waits for a catch-up slot on top of its SRT latency before it starts
    // live at the next key frame instead.
    static constexpr std::int64_t kCatchUpWaitMs = 1000;
    // A caller that gave way gets the next key frame within this; past it, it starts live
    // wherever the input is (no tables or key frames are found).
    static constexpr std::int64_t kKeyFrameWaitMs = 10000;
    // How often a catch-up looks at the input's rate again.
    static constexpr std::int64_t kPaceCheckMs = 250;

    // `clientsMutex` is the registry's lock, under which `ring` is published and withdrawn and
    // `fastStart` (null: callers start live) is read.
    ClientHandler(Mutex& clientsMutex, bool liveMode, const GopCache* fastStart = nullptr,
                  CallerShared shared = {});
    ~ClientHandler(); // joins the sending thread; never called on that thread
    ClientHandler(const ClientHandler&) = delete;
    ClientHandler& operator=(const ClientHandler&) = delete;

    // Marks the caller active and starts its sending thread, which publishes the buffer only
    // once the socket is set up; a failed set-up ends the caller with its socket closed.
    void start(std::int32_t socket);
    // Adds one bitrate sample from the bytes sent since the last one. Sampler thread, without
    // the clients mutex: it reads SRT's statistics.
    void sampleBitrate(std::string time, std::int64_t steadyMs);

    // Passes one chunk on to this caller, if its sending loop has published its buffer.
    // Receiver thread, under the clients mutex.
    void deliver(const std::uint8_t* data, std::int32_t length) REQUIRES(clientsMutex_);
    // For the registry, which holds the same mutex under its own name.
    void assertRegistryLocked() const ASSERT_CAPABILITY(clientsMutex_) {}
    // Disconnects this caller as fallen behind because all callers' backlogs together passed
    // the registry's budget and its backlog was the largest. Receiver thread.
    void cutForBacklogBudget() REQUIRES(clientsMutex_);
    // Disconnects this caller because the access rules no longer admit it; `why` is a literal
    // ("user removed") that goes into its end line. Under the clients mutex, so that no
    // further chunk reaches it; the slow part (closing) is its own thread's.
    void withdrawAccess(const char* why) REQUIRES(clientsMutex_);
    // Whether deliveries stopped for good (cut, or past the per-caller limit).
    bool cutOff() const REQUIRES(clientsMutex_) { return overflowed_; }

    bool isActive() const { return active_.load(std::memory_order_acquire); }
    std::int32_t socketId() const { return socketId_; }
    EndReason endReason() const { return endReason_.load(); }
    // The latest statistics (the sampler's, then the sending loop's last reading).
    CallerStats stats() const EXCLUDES(statsMutex_);
    // Chunks this caller's buffer started with from the fast-start cache, the table chunk
    // included; 0 when it started live. Set once as the buffer is published; any thread.
    std::int32_t faststartChunks() const {
        return faststartChunks_.load(std::memory_order_relaxed);
    }
    // Bytes waiting in this caller's buffer.
    std::int32_t backlogBytes() const { return backlog_.load(std::memory_order_relaxed); }
    const std::string& url() const { return url_; }
    void setUrl(std::string url) { url_ = std::move(url); }
    // The caller's IPv4 address in network byte order, set by the accept thread before start.
    std::uint32_t address() const { return address_; }
    void setAddress(std::uint32_t address) { address_ = address; }
    // The name the caller connected as; empty when no users are configured.
    const std::string& user() const { return user_; }
    void setUser(std::string user) { user_ = std::move(user); }
    // The stream id the caller sent, as it sent it (at most 512 bytes, unescaped).
    const std::string& streamId() const { return streamId_; }
    void setStreamId(std::string streamId) { streamId_ = std::move(streamId); }
    // The programme this caller watches; kWholeInput when it takes the input as it is.
    static constexpr std::int32_t kWholeInput = -1;
    std::int32_t program() const { return program_; }
    void setProgram(std::int32_t program) { program_ = program; }
    // Which of the listeners sharing the SRT port accepted this caller (0 with one).
    std::int32_t listener() const { return listener_; }
    void setListener(std::int32_t listener) { listener_ = listener; }
    std::int64_t created() const { return created_; }
    // Wall-clock ms since 1970 when the sending loop ended; valid once isActive() is false.
    std::int64_t ended() const { return ended_; }
    BitrateHistory& history() { return history_; }
    const BitrateHistory& history() const { return history_; }

private:
    enum class SendState { Drained, NoRoom, Paced, WaitingTurn, Failed };

    void run();
    bool prepareSocket();
    bool connectionLost() const;
    bool connectionUsable() const;
    SendState sendBacklog(RingBufferAdaptive& ring) EXCLUDES(sendMutex_);
    SendState sendPending() REQUIRES(sendMutex_);
    bool trySendDirect(const std::uint8_t* data, std::int32_t length) REQUIRES(clientsMutex_);
    void waitForWork(SendState state) EXCLUDES(waitMutex_);
    void wakeSender() EXCLUDES(waitMutex_);
    void publishRing(RingBufferAdaptive* ring) EXCLUDES(clientsMutex_);
    void reserveForCache(RingBufferAdaptive& ring) EXCLUDES(clientsMutex_);
    void fillFromCache(RingBufferAdaptive& ring) REQUIRES(clientsMutex_);
    void beginFastStart(std::int64_t nowMs);
    void startCatchUp(std::string_view when = {});
    SendState awaitCatchUpTurn(RingBufferAdaptive& ring, std::int64_t nowMs);
    bool takeNewKeyFrame(RingBufferAdaptive& ring, std::int64_t nowMs) EXCLUDES(clientsMutex_);
    void giveWay(RingBufferAdaptive& ring, std::int64_t nowMs) EXCLUDES(clientsMutex_);
    bool startAtKeyFrame() REQUIRES(clientsMutex_);
    void endCatchUp();
    void logFellBehind();
    void watchCatchUp(SendState state, std::int64_t nowMs);
    void followInputRate(std::int64_t nowMs) EXCLUDES(clientsMutex_);
    void tearDown(std::unique_ptr<RingBufferAdaptive> ring, EndReason reason)
        EXCLUDES(clientsMutex_);
    bool readStats() EXCLUDES(statsMutex_);
    void watchPeer(std::int64_t nowMs);
    EndReason whyConnectionEnded(std::int64_t nowMs) const;
    void logEnd(EndReason reason) EXCLUDES(statsMutex_);
    void releaseRingWhenIdle(RingBufferAdaptive& ring, bool busy) EXCLUDES(clientsMutex_);

    Mutex& clientsMutex_;
    const bool liveMode_;
    const std::int32_t maxBacklogBytes_; // this caller's cap
    BitrateHistory history_;
    std::string url_;                     // "ip:port", set by the accept thread
    std::uint32_t address_ = 0;           // set by the accept thread before start
    std::string user_;                    // set by the accept thread before start
    std::string streamId_;                // set by the accept thread before start
    std::int32_t listener_ = 0;           // set by the accept thread before start
    std::int32_t program_ = kWholeInput;  // set by the accept thread before start
    std::int64_t created_ = 0;            // wall-clock ms since 1970 when started
    std::int64_t ended_ = 0;              // set before `active` is cleared, read after
    std::atomic<bool> active_{false};     // cleared only by the sending loop
    std::atomic<std::int32_t> socket_{0}; // SRT socket; 0 once closed
    std::int32_t socketId_ = 0;           // the SRT socket's id, kept after it is closed
    std::int64_t startedMs_ = 0;          // steady clock, for how long it was connected
    std::atomic<EndReason> endReason_{EndReason::None};
    std::atomic<std::int32_t> backlog_{0};
    // owned by run(); published and withdrawn under the clients mutex
    RingBufferAdaptive* ring_ GUARDED_BY(clientsMutex_) = nullptr;
    bool overflowed_ GUARDED_BY(clientsMutex_) = false;
    const GopCache* const fastStart_ PT_GUARDED_BY(clientsMutex_);
    const CallerShared shared_;
    // steady ms until which a caller that gave way waits for a key frame; 0: not waiting
    std::int64_t keyFrameDueMs_ GUARDED_BY(clientsMutex_) = 0;
    std::atomic<bool> cutForBudget_{false};
    std::atomic<std::int32_t> faststartChunks_{0};
    std::atomic<bool> fellBehind_{false};         // set once the backlog limit was hit
    std::atomic<const char*> withdrawn_{nullptr}; // why its access was withdrawn, once it was
    std::int64_t ringIdleSinceMs_ = 0;            // sending thread only

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

    // guards stats_: written by the sampler and by the sending loop's last reading; the
    // registry reads them under its clients mutex for a snapshot
    mutable Mutex statsMutex_ ACQUIRED_AFTER(clientsMutex_);
    CallerStats stats_ GUARDED_BY(statsMutex_);

    // sending loop only: whether the peer still answers, to tell a hang-up from a lost link
    std::int64_t peerCheckedMs_ = 0;
    std::int64_t peerAnsweredMs_ = 0;
    std::int64_t sentAfterAnswerMs_ = 0;
    int acksSeen_ = 0;
    std::int64_t packetsSeen_ = 0;

    // sending loop only: the fast-start backlog's pacing
    std::int64_t cacheBytesPerSecond_ = 0; // the stream's rate as the cache saw it
    CatchUpPacer catchUp_;
    bool holdsCatchUpSlot_ = false;
    std::int64_t waitingTurnSinceMs_ = -1;    // -1: not waiting for a catch-up slot
    std::int32_t gopChunksWhenWaitBegan_ = 0; // fewer cached since: a new GOP began
    bool saidStillBehind_ = false;
    std::int64_t pacedWaitUs_ = 0;
    std::int64_t caughtUpAfterMs_ = -1; // -1: not yet
    std::int64_t paceCheckedMs_ = 0;

    RateMeter sendRate_;
    std::unique_ptr<std::thread> thread_;
};

} // namespace vandra
