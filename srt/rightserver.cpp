#include "srt/rightserver.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <netinet/in.h>
#include <vector>

#include <srt/srt.h>

#include "core/clock.h"
#include "core/logger.h"
#include "core/processexit.h"
#include "core/utils.h"
#include "platform/platform.h"
#include "srt/srtlistener.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "rightserver";
constexpr int kAcceptFailedStatus = -4;

DepartedCaller departureOf(const ClientHandler& client) {
    DepartedCaller gone;
    gone.id = client.socketId();
    gone.remote = client.url();
    gone.user = client.user();
    gone.streamId = client.streamId();
    gone.createdMs = client.created();
    gone.endedMs = client.ended();
    gone.reason = client.endReason();
    gone.sentBytes = client.stats().sentBytes;
    return gone;
}

std::string addressText(const sockaddr_storage& peer) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(peer);
    char host[22] = {};
    if (inet_ntop(AF_INET, &ipv4.sin_addr, host, sizeof(host)) == nullptr) {
        return "?:" + std::to_string(ntohs(ipv4.sin_port));
    }
    return std::string(host) + ":" + std::to_string(ntohs(ipv4.sin_port));
}

// The caller's stream id as it sent it; libsrt keeps at most 512 bytes of it.
std::string streamIdOf(SRTSOCKET client) {
    std::array<char, AccessPolicy::kMaxStreamId + 1> streamId{};
    int length = static_cast<int>(streamId.size());
    if (srt_getsockflag(client, SRTO_STREAMID, streamId.data(), &length) != 0) {
        LOG_LINE << "-- cannot read the stream id of caller " << client << ": "
                 << srt_getlasterror_str();
        return "";
    }
    return std::string(streamId.data(),
                       static_cast<std::size_t>(std::clamp(length, 0, int(streamId.size()))));
}

// Quoted, with quotes and backslashes escaped too, so that where the stream id ends is plain
// whatever the caller put in it.
std::string quotedForLog(const std::string& text) {
    std::string plain;
    plain.reserve(text.size());
    for (const char c : text) {
        if (c == '"') {
            plain += "\\x22";
        } else if (c == '\\') {
            plain += "\\x5c";
        } else {
            plain += c;
        }
    }
    return '"' + escapeForLog(plain) + '"';
}

// The caller may have ended meanwhile and closed its socket itself: that is no failure.
void closeCallerSocket(SRTSOCKET socket) {
    if (srt_close(socket) != 0 && srt_getlasterror(nullptr) != SRT_EINVSOCK) {
        LOG_LINE << "-- cannot close the connection of caller " << socket << ": "
                 << srt_getlasterror_str();
    }
}
} // namespace

RightServer::~RightServer() {
    // The accept thread lives as long as the process; a registry that is destroyed (tests)
    // never started one.
    for (const auto& acceptThread : acceptThreads_) {
        if (acceptThread->joinable()) {
            acceptThread->detach();
        }
    }
    if (tookLibraryLog_) {
        HandshakeMonitor::releaseLibraryLog();
    }
}

bool RightServer::start(SrtListenParams params) {
    liveMode_ = params.latency != 0;
    maxBacklogBytes_ = params.maxBacklogBytes;
    latencyMs_.store(params.latency, std::memory_order_relaxed);
    access_.store(std::make_shared<const AccessPolicy>(std::move(params.access)));
    reloads_.started(wallMs());
    gate_.monitor = &handshakes_;
    gate_.policy = &access_;
    gate_.programs = catalog_.get();
    // An admitted request is watched until it becomes a caller; the accept loop counts the
    // caller as active (ClientHandler::start) and stops watching it in one step of the hook's
    // lock, so that it is counted once throughout.
    gate_.callersHeld = [this] { return activeClientCount() + handshakes_.pendingCount(); };
    HandshakeMonitor::takeLibraryLog(handshakes_);
    tookLibraryLog_ = true;
    if (startListeners(params)) {
        return true;
    }
    LOG_LINE << "The server is already running on this port. Please, close previous or change "
                "port in ini file !!!";
    return false;
}

bool RightServer::startListeners(const SrtListenParams& params) {
    if (params.listeners <= 1) {
        const std::int32_t sock = createSrtListener(params, true, &gate_);
        LOG_LINE << "start right server to " << params.port << " sock:" << sock;
        if (sock <= 0) {
            return false;
        }
        acceptThreads_.push_back(
            std::make_unique<std::thread>(&RightServer::acceptLoop, this, sock, 0));
        return true;
    }
    const std::vector<std::int32_t> socks =
        createSrtListenerGroup(params, params.listeners, &gate_);
    if (socks.empty()) {
        return false;
    }
    LOG_LINE << "start right server to " << params.port << " on " << socks.size()
             << " listeners sharing the port (srt_threads), socks:" << socks.front() << ".."
             << socks.back();
    // One accept thread each: a listener's accept returns its own callers, so the thread knows
    // which listener a caller came through, and a slow registration on one holds up no other.
    for (std::size_t i = 0; i < socks.size(); ++i) {
        acceptThreads_.push_back(std::make_unique<std::thread>(
            &RightServer::acceptLoop, this, socks[i], static_cast<std::int32_t>(i)));
    }
    listenerCount_.store(static_cast<std::int32_t>(socks.size()), std::memory_order_relaxed);
    return true;
}

void RightServer::acceptLoop(std::int32_t listenSocket, std::int32_t listener) {
    sockaddr_storage peer{};
    int peerLength = sizeof(peer);
    for (SRTSOCKET client =
             srt_accept(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength);
         client != SRT_INVALID_SOCK;
         client = srt_accept(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength)) {
        const std::string url = addressText(peer);
        const bool hasUsers = accessPolicy()->hasUsers();
        std::string streamId = streamIdOf(client);
        const std::int32_t program = programOf(streamId);
        const GopCache* programCache =
            program > 0 ? attachViewer(static_cast<std::uint16_t>(program)) : nullptr;
        auto handler = makeClient(program, programCache);
        handler->setUrl(url); // before its thread can read it
        handler->setAddress(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr);
        handler->setStreamId(std::move(streamId));
        handler->setListener(listener);
        handler->setProgram(program);
        if (hasUsers) {
            // The name the listen hook admitted this caller as.
            handler->setUser(
                AccessPolicy::userFromStreamId(AccessPolicy::decodedStreamId(handler->streamId())));
        }
        LOG_LINE << "accept new client " << client << " " << url << " streamid "
                 << quotedForLog(handler->streamId())
                 << (hasUsers ? " user " + escapeForLog(handler->user()) : "")
                 << (program != ClientHandler::kWholeInput ? " program " + std::to_string(program)
                                                           : "");
        {
            // One step for the listen hook, which counts under this lock: counted both as
            // active and as watched, a caller arriving in between would be refused at the limit.
            MutexLock oneStep(gate_.deciding);
            handler->start(client);
            handshakes_.onAccepted(client);
        }
        addClient(std::move(handler));
        peerLength = sizeof(peer);
    }
    LOG_LINE << "fail accept - invalid socket";
    pauseConsole();
    exitProcess(kAcceptFailedStatus);
}

void RightServer::addClient(std::unique_ptr<ClientHandler> client) {
    const std::int32_t socket = client->socketId();
    bool stopping = false;
    std::shared_ptr<const AccessPolicy> rules; // let go after the lock: it may be the last
    {
        MutexLock lock(clientsMutex_);
        stopping = stopping_;
        // A reload between the listen hook and here has not seen this caller: it is judged by
        // the rules in force now, read under the lock the reload's sweep takes after its swap,
        // so that one of the two sees it. (libsrt has checked its passphrase already.)
        rules = access_.load();
        if (const char* why =
                rules ? rules->whyWithdrawn(client->address(), client->user(), *rules) : nullptr) {
            client->assertRegistryLocked();
            client->withdrawAccess(why);
        }
        if (client->program() == 0) {
            client->assertRegistryLocked();
            client->withdrawAccess("program no longer in the input");
        }
        clients_.push_back(std::move(client));
    }
    if (stopping) {
        closeCallerSocket(socket);
    }
}

void RightServer::closeCallersForStop() {
    std::vector<std::int32_t> sockets;
    {
        // Copied out under the lock, closed after it: a close talks to libsrt and the network.
        MutexLock lock(clientsMutex_);
        stopping_ = true;
        for (const auto& client : clients_) {
            if (client->isActive()) {
                sockets.push_back(client->socketId());
            }
        }
    }
    for (const std::int32_t socket : sockets) {
        closeCallerSocket(socket);
    }
}

std::size_t RightServer::replaceAccess(AccessPolicy rules) {
    auto replacement = std::make_shared<const AccessPolicy>(std::move(rules));
    const std::shared_ptr<const AccessPolicy> before = access_.exchange(replacement);
    std::size_t cut = 0;
    // Under the lock only a filter test and a name lookup per caller; each cut caller's own
    // thread closes its connection.
    MutexLock lock(clientsMutex_);
    for (const auto& client : clients_) {
        client->assertRegistryLocked();
        if (!client->isActive() || client->cutOff()) {
            continue;
        }
        if (const char* why =
                replacement->whyWithdrawn(client->address(), client->user(), *before)) {
            client->withdrawAccess(why);
            ++cut;
        }
    }
    return cut;
}

std::size_t RightServer::clientCount() const {
    MutexLock lock(clientsMutex_);
    return clients_.size();
}

void RightServer::enableFastStart() {
    fastStart_ = std::make_unique<GopCache>();
    MutexLock lock(clientsMutex_); // no other thread runs yet; the feeds are guarded by it
    programFeeds_.enableFastStart();
    LOG_LINE << "fast start on: new callers begin at the latest key frame";
}

void RightServer::broadcast(const std::uint8_t* data, std::int32_t length) {
    if (catalog_ && length == kChunkSize) {
        catalog_->feedChunk(data);
    }
    MutexLock lock(clientsMutex_);
    // Under the same lock as the delivery, so that a caller whose buffer is filled from the
    // cache in between gets each chunk once.
    if (fastStart_ && length == kChunkSize) {
        fastStart_->push(data, steadyMs());
    }
    for (const auto& client : clients_) {
        client->assertRegistryLocked();
        if (client->program() == ClientHandler::kWholeInput) {
            client->deliver(data, length);
        }
    }
    // A filter copies a few packets per chunk: cheap enough to run under the lock, which
    // spares its viewers a second lock and keeps their messages in order with the chunks.
    if (!programFeeds_.empty() && length == kChunkSize) {
        programFeeds_.feed(data, steadyMs());
    }
    keepBacklogsInBudget();
}

void RightServer::idle(std::int64_t nowMs) {
    if (!catalog_) {
        return;
    }
    MutexLock lock(clientsMutex_);
    programFeeds_.tick(nowMs);
}

const GopCache* RightServer::attachViewer(std::uint16_t program) {
    MutexLock lock(clientsMutex_);
    return programFeeds_.attach(program);
}

void RightServer::enablePrograms(std::int64_t goneTimeoutMs) {
    catalog_ = std::make_unique<ProgramCatalog>();
    programGoneTimeoutMs_ = goneTimeoutMs;
    LOG_LINE << "programs on: callers may pick one program with r= in the stream id";
}

std::int32_t RightServer::programOf(const std::string& streamId) const {
    const std::string wanted =
        catalog_ ? AccessPolicy::programFromStreamId(AccessPolicy::decodedStreamId(streamId)) : "";
    if (wanted.empty()) {
        return ClientHandler::kWholeInput;
    }
    return catalog_->resolve(wanted).value_or(0);
}

void RightServer::deliverProgram(std::uint16_t program, const std::uint8_t* message) {
    for (const auto& client : clients_) {
        client->assertRegistryLocked();
        if (client->program() == program) {
            client->deliver(message, kChunkSize);
        }
    }
}

// Each cut caller's own thread closes its connection and logs the reason.
void RightServer::cutGonePrograms(std::int64_t nowMs) {
    for (const std::uint16_t program : programFeeds_.goneFor(nowMs, programGoneTimeoutMs_)) {
        for (const auto& client : clients_) {
            client->assertRegistryLocked();
            if (client->program() == program && client->isActive() && !client->cutOff()) {
                client->withdrawAccess("program left the input");
            }
        }
    }
}

std::vector<ProgramFeeds::Figures> RightServer::programFigures() const {
    MutexLock lock(clientsMutex_);
    return programFeeds_.figures();
}

void RightServer::restartStream() {
    MutexLock lock(clientsMutex_);
    if (fastStart_) {
        fastStart_->restart(steadyMs());
        programFeeds_.restart(steadyMs());
    }
}

// One caller at most is cut per chunk: it frees more than a chunk's worth for every caller.
void RightServer::keepBacklogsInBudget() {
    std::int64_t total = 0;
    ClientHandler* furthest = nullptr;
    for (const auto& client : clients_) {
        client->assertRegistryLocked();
        if (client->cutOff()) {
            continue; // its buffer goes as soon as its thread sees the cut
        }
        total += client->backlogBytes();
        if (furthest == nullptr || client->backlogBytes() > furthest->backlogBytes()) {
            furthest = client.get();
        }
    }
    if (total > backlogBudget_ && furthest != nullptr) {
        furthest->assertRegistryLocked();
        furthest->cutForBacklogBudget();
    }
}

void RightServer::sampleAndReap(const std::string& time, std::int64_t steadyMs) {
    handshakes_.expire(steadyMs);
    refusals_.file(steadyMs, refusalTotals());
    std::vector<ClientHandler*> active;
    std::vector<std::unique_ptr<ClientHandler>> finished;
    {
        MutexLock lock(clientsMutex_);
        cutGonePrograms(steadyMs);
        programFeeds_.sampleRates(steadyMs);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if ((*it)->isActive()) {
                active.push_back(it->get());
                ++it;
            } else {
                LOG_LINE << "REMOVE";
                if ((*it)->program() > 0) {
                    programFeeds_.detach(static_cast<std::uint16_t>((*it)->program()));
                }
                finished.push_back(std::move(*it));
                it = clients_.erase(it);
            }
        }
    }
    // Only this thread destroys callers, so the ones just seen stay valid without the lock.
    for (ClientHandler* client : active) {
        client->sampleBitrate(time, steadyMs);
    }
    const bool someoneLeft = !finished.empty();
    for (const auto& client : finished) {
        departed_.add(departureOf(*client));
    }
    finished.clear(); // joins their threads, which no longer need the lock

    // SRT frees a closed socket's buffers a few seconds later, so the trim is repeated on the
    // next samples too. It walks every heap.
    trimSamplesLeft_ = someoneLeft ? kTrimSamples : trimSamplesLeft_;
    if (trimSamplesLeft_ > 0) {
        --trimSamplesLeft_;
        platform::releaseFreedMemory();
    }
}

RefusalWindow::Counts RightServer::refusalTotals() const {
    RefusalWindow::Counts totals{};
    for (std::size_t i = 0; i < kRefusalReasons.size(); ++i) {
        totals[i] = handshakes_.refused(kRefusalReasons[i]);
    }
    return totals;
}

RefusalWindow::Counts RightServer::recentRefusals() const {
    return refusals_.recent(steadyMs(), refusalTotals());
}

std::vector<CallerSnapshot> RightServer::snapshotCallers() const {
    std::vector<CallerSnapshot> callers;
    MutexLock lock(clientsMutex_);
    callers.reserve(clients_.size());
    for (const auto& client : clients_) {
        if (!client->isActive()) {
            continue;
        }
        CallerSnapshot& caller = callers.emplace_back();
        caller.id = client->socketId();
        caller.remote = client->url();
        caller.user = client->user();
        caller.streamId = client->streamId();
        caller.createdMs = client->created();
        caller.stats = client->stats();
        caller.backlogBytes = client->backlogBytes();
        caller.bitrateKbps = client->history().latestKbps();
        caller.faststartChunks = client->faststartChunks();
        caller.listener = client->listener();
        caller.program = client->program();
    }
    return callers;
}

std::string RightServer::clientsJson() const {
    struct Series {
        std::string url;
        std::int64_t created = 0;
        std::vector<BitrateSample> samples;
    };
    std::vector<Series> copied;
    {
        // Copied under the lock, formatted after it: the receiver waits for this lock.
        MutexLock lock(clientsMutex_);
        copied.reserve(clients_.size());
        for (const auto& client : clients_) {
            copied.push_back({client->url(), client->created(), client->history().samples()});
        }
    }
    std::string json;
    for (const Series& series : copied) {
        if (series.samples.empty()) {
            continue;
        }
        if (!json.empty()) {
            json += ',';
        }
        json += "{\"url\":\"";
        json += jsonEscape(series.url);
        json += "\",\"created\":\"";
        json += std::to_string(series.created);
        json += "\",\"data\":";
        json += BitrateHistory::formatJson(series.samples);
        json += '}';
    }
    return json;
}

} // namespace vandra
