#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/chunksink.h"
#include "core/configreloads.h"
#include "core/mutex.h"
#include "ingest/gopcache.h"
#include "ingest/programcatalog.h"
#include "srt/callersnapshot.h"
#include "srt/catchupbudget.h"
#include "srt/clienthandler.h"
#include "srt/departedcallers.h"
#include "srt/handshakemonitor.h"
#include "srt/programfeeds.h"
#include "srt/refusalwindow.h"
#include "srt/srtlistener.h"
#include "srt/srtlistenparams.h"

namespace vandra {

// The registry of connected SRT callers: accepts them, copies every input chunk into each
// caller's buffer, samples and removes finished callers. Thread safe. Nothing slow (joining a
// thread, closing a socket, reading statistics) happens under the clients mutex: the receiver
// takes it for every chunk.
// Lock order: clientsMutex_ first, then a caller's send mutex, a ring buffer's or a history's.
class RightServer final : public ChunkSink {
public:
    RightServer() = default;
    ~RightServer();
    RightServer(const RightServer&) = delete;
    RightServer& operator=(const RightServer&) = delete;

    // Creates the SRT listener and starts the accept thread; false (logged) on failure.
    bool start(SrtListenParams params);
    // Keeps the input's chunks since its latest key frame, so that a new caller starts with a
    // picture. Before start(), and so before any chunk or caller.
    void enableFastStart();
    // Lets callers pick one programme of the input with "r" in their stream id; a programme
    // that leaves the PAT cuts its viewers after `goneTimeoutMs`. Before start().
    void enablePrograms(std::int64_t goneTimeoutMs);
    // What the input carries; null unless programme selection is on. Any thread.
    const ProgramCatalog* programCatalog() const { return catalog_.get(); }
    // The programmes being watched, by number. Any thread.
    std::vector<ProgramFeeds::Figures> programFigures() const EXCLUDES(clientsMutex_);
    // How many fast-start catch-ups may run at once (each at ClientHandler::kCatchUpSpeed
    // times the input's rate). Before start().
    void setCatchUpSlots(std::int32_t slots) { catchUps_.setSlots(slots); }
    const CatchUpBudget& catchUps() const { return catchUps_; }
    // The most bytes all callers' buffers may hold together; past it the caller furthest behind
    // is cut. Before start().
    void setBacklogBudget(std::int64_t bytes) { backlogBudget_ = bytes; }
    std::int64_t backlogBudget() const { return backlogBudget_; }
    // Receiver thread: copies one chunk into the buffer of every caller that has one (and,
    // with fast start, into the cache first).
    void broadcast(const std::uint8_t* data, std::int32_t length) override EXCLUDES(clientsMutex_);
    void restartStream() override EXCLUDES(clientsMutex_);
    // Receiver thread, without input: programme messages that waited long enough leave.
    void idle(std::int64_t nowMs) override EXCLUDES(clientsMutex_);
    // Sampler thread: samples active callers, removes and joins finished ones.
    void sampleAndReap(const std::string& time, std::int64_t steadyMs) EXCLUDES(clientsMutex_);
    // The callers that have samples, in accept order, as JSON objects joined by ",".
    std::string clientsJson() const EXCLUDES(clientsMutex_);

    // Registers a started handler at the end of the list; once the server stops, it also
    // closes that caller's connection.
    void addClient(std::unique_ptr<ClientHandler> client) EXCLUDES(clientsMutex_);
    // On the way out: closes every caller's connection, so that libsrt tells each caller at
    // once instead of leaving it to its peer timeout; a caller accepted later is closed as it
    // registers. Each caller's own thread then ends as for a hang-up. Any thread.
    void closeCallersForStop() EXCLUDES(clientsMutex_);
    // A caller of one programme starts from that programme's cache, `programCache`.
    std::unique_ptr<ClientHandler> makeClient(std::int32_t program = ClientHandler::kWholeInput,
                                              const GopCache* programCache = nullptr) {
        const GopCache* cache =
            program == ClientHandler::kWholeInput ? fastStart_.get() : programCache;
        const CallerShared shared{&activeCallers_, cache != nullptr ? &catchUps_ : nullptr,
                                  latencyMs(), maxBacklogBytes_};
        return std::make_unique<ClientHandler>(clientsMutex_, liveMode_, cache, shared);
    }
    std::size_t clientCount() const EXCLUDES(clientsMutex_);
    // The connected callers in accept order, copied under the clients mutex from what the
    // sampler last read: nothing is asked of libsrt. Any thread.
    std::vector<CallerSnapshot> snapshotCallers() const EXCLUDES(clientsMutex_);
    const DepartedCallers& departed() const { return departed_; }
    const HandshakeMonitor& handshakes() const { return handshakes_; }
    // Refusals by reason since the start, and those of the last 10 minutes. Any thread.
    RefusalWindow::Counts refusalTotals() const;
    RefusalWindow::Counts recentRefusals() const;
    // The access rules in force, once start has taken them; null before. Any thread.
    std::shared_ptr<const AccessPolicy> accessPolicy() const { return access_.load(); }
    // Puts new access rules in force at once (a reload), then cuts every caller they no
    // longer admit; the others lose nothing. Returns how many were cut. After start.
    std::size_t replaceAccess(AccessPolicy rules) EXCLUDES(clientsMutex_);
    // How the reloads of the settings went. Any thread.
    ConfigReloads& reloads() { return reloads_; }
    const ConfigReloads& reloads() const { return reloads_; }
    // The configured SRT latency in ms (0: file mode), once start was called.
    std::int32_t latencyMs() const { return latencyMs_.load(std::memory_order_relaxed); }
    // Callers whose sending loop still runs (finished ones wait for the sampler to go). An
    // atomic: libsrt's listen hook asks it without taking the clients mutex.
    std::size_t activeClientCount() const {
        return static_cast<std::size_t>(activeCallers_.load(std::memory_order_relaxed));
    }
    // How many listeners share the SRT port (1 until start has opened more). Any thread.
    std::int32_t listenerCount() const { return listenerCount_.load(std::memory_order_relaxed); }
    // The accept loop of listener number `listener`; ends the process when the listener fails.
    // Public for tests.
    [[noreturn]] void acceptLoop(std::int32_t listenSocket, std::int32_t listener = 0);

private:
    // The listener, or params.listeners of them on one port, each with its accept thread.
    bool startListeners(const SrtListenParams& params);
    void keepBacklogsInBudget() REQUIRES(clientsMutex_);
    // The programme a caller with this stream id watches: ClientHandler::kWholeInput without
    // programme selection or "r", 0 when what it names is no longer in the input.
    std::int32_t programOf(const std::string& streamId) const;
    void deliverProgram(std::uint16_t program, const std::uint8_t* message) REQUIRES(clientsMutex_);
    // Counts a new viewer of `program` (> 0) before its handler exists, so that the
    // programme's cache is there for it; returns that cache (null without fast start).
    const GopCache* attachViewer(std::uint16_t program) EXCLUDES(clientsMutex_);
    void cutGonePrograms(std::int64_t nowMs) REQUIRES(clientsMutex_);
    // For callbacks run under the lock, where the analysis cannot see it held.
    void assertLocked() const ASSERT_CAPABILITY(clientsMutex_) {}

    // guards clients_ and every caller's ring pointer
    mutable Mutex clientsMutex_;
    std::list<std::unique_ptr<ClientHandler>> clients_ GUARDED_BY(clientsMutex_);
    bool stopping_ GUARDED_BY(clientsMutex_) = false; // set once by closeCallersForStop
    // null unless fast start is on; set before any thread that reads it starts
    std::unique_ptr<GopCache> fastStart_ PT_GUARDED_BY(clientsMutex_);
    // null unless programme selection is on; set before start, fed by the receiver
    std::unique_ptr<ProgramCatalog> catalog_;
    ProgramFeeds programFeeds_ GUARDED_BY(clientsMutex_){
        [this](std::uint16_t program, const std::uint8_t* message) {
            assertLocked();
            deliverProgram(program, message);
        }};
    std::int64_t programGoneTimeoutMs_ = 0; // set before start
    HandshakeMonitor handshakes_;
    DepartedCallers departed_;
    std::atomic<std::int32_t> latencyMs_{0};
    std::atomic<std::int32_t> activeCallers_{0};
    CatchUpBudget catchUps_;
    std::int64_t backlogBudget_ = INT64_MAX; // set before start, then read by the receiver
    // the rules the listen hook and the web server read; set by start, swapped by a reload
    std::atomic<std::shared_ptr<const AccessPolicy>> access_;
    ConfigReloads reloads_;
    RefusalWindow refusals_; // filed by the sampler
    ListenGate gate_;        // what the listen hook consults; lives as long as the listener
    // one per listener; they run for the life of the process
    std::vector<std::unique_ptr<std::thread>> acceptThreads_;
    std::atomic<std::int32_t> listenerCount_{1};
    static constexpr int kTrimSamples = 3;
    int trimSamplesLeft_ = 0; // sampler only: samples that still give freed memory back
    bool liveMode_ = true;    // set by start, before the first caller
    bool tookLibraryLog_ = false;
    // each caller's backlog cap (0: the built-in one); set by start, before the first caller
    std::int32_t maxBacklogBytes_ = 0;
};

} // namespace vandra
