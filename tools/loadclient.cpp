// vandra-loadclient: many SRT callers in one process, each checking every packet it receives
// for corruption, loss and duplication and measuring end-to-end latency. One JSON line out.

#include <algorithm>
#include <arpa/inet.h>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <netdb.h>
#include <netinet/in.h>
#include <span>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unordered_map>
#include <vector>

#include <srt/srt.h>

#include "tools/cliargs.h"
#include "tools/toolcommon.h"
#include "tools/tsframe.h"

namespace vandra {
namespace {

constexpr int kFileModeMss = 1052;
constexpr std::size_t kMaxPassphrase = 79;
constexpr std::size_t kMinPassphrase = 10;
constexpr std::size_t kMaxStreamId = 512;
constexpr std::int64_t kPollIntervalMs = 50;
constexpr std::int64_t kConnectMarginMs = 500;
constexpr int kMaxReadsPerWake = 64; // keeps one busy caller from starving the others
constexpr std::size_t kReceiveBufferSize = 64 * 1024;
constexpr int kMaxFaultReports = 10;
constexpr std::int64_t kCountersIntervalMs = 1000;

std::int64_t monotonicNowMs() {
    return static_cast<std::int64_t>(tsframe::monotonicNowUs() / 1000);
}

struct Options {
    std::string host = "127.0.0.1";
    std::uint64_t port = 9000;
    std::uint64_t callers = 1;
    double seconds = 5;
    std::string passphrase;
    std::string streamId;
    std::uint64_t latencyMs = 120;
    bool fileMode = false;
    std::uint64_t connectTimeoutMs = 3000;
    std::uint64_t staggerMs = 0;
    std::uint64_t minPackets = 1;
    std::uint64_t untilPackets = 0; // 0 = read for --seconds
    std::uint64_t stallAfterMs = 0; // 0 = never: read until the end
    bool sharedPort = false;
    std::uint64_t retryMs = 0; // 0 = a failed connect is final
};

void printUsage() {
    std::fprintf(stderr,
                 "usage: vandra-loadclient [--host H] [--port P] [--callers N] [--seconds S]\n"
                 "         [--passphrase P] [--streamid S] [--latency MS] [--file-mode]\n"
                 "         [--connect-timeout MS] [--stagger-ms M] [--min-packets N]\n"
                 "         [--stall-after-ms MS] [--shared-port] [--retry-ms MS]\n"
                 "         [--until-packets N]\n"
                 "  --until-packets: end early once every caller has received N packets.\n"
                 "  --stall-after-ms: stop reading that long after connecting, yet stay\n"
                 "  connected, as a viewer whose player hangs would.\n"
                 "  --shared-port: all callers send from one UDP port, so libsrt runs one pair of\n"
                 "  queue threads for them all instead of a pair per caller.\n"
                 "  --retry-ms: a caller whose connect fails tries again after MS, until the\n"
                 "  connect timeout after its first attempt.\n"
                 "  first_byte_ms, first_key_frame_ms: per caller from its first connect\n"
                 "  attempt to its first byte and first packet marked as a random access point.\n"
                 "  Exit 0 only when every caller connected and received at least --min-packets\n"
                 "  packets with no gap, duplicate or corruption; 1 otherwise; 2 on bad usage.\n");
}

bool parseValue(std::string_view name, const char* value, Options& options) {
    if (name == "--host") {
        options.host = value;
        return !options.host.empty();
    }
    if (name == "--passphrase") {
        options.passphrase = value;
        return options.passphrase.size() >= kMinPassphrase &&
               options.passphrase.size() <= kMaxPassphrase;
    }
    if (name == "--streamid") {
        options.streamId = value;
        return options.streamId.size() <= kMaxStreamId;
    }
    if (name == "--port") {
        return cli::parseU64(value, options.port) && options.port > 0 && options.port < 65536;
    }
    if (name == "--callers") {
        return cli::parseU64(value, options.callers) && options.callers > 0 &&
               options.callers <= 10000;
    }
    if (name == "--seconds") {
        return cli::parseDouble(value, options.seconds);
    }
    if (name == "--latency") {
        return cli::parseU64(value, options.latencyMs) && options.latencyMs <= 60000;
    }
    if (name == "--connect-timeout") {
        return cli::parseU64(value, options.connectTimeoutMs) && options.connectTimeoutMs > 0 &&
               options.connectTimeoutMs <= 600000;
    }
    if (name == "--stagger-ms") {
        return cli::parseU64(value, options.staggerMs) && options.staggerMs <= 60000;
    }
    if (name == "--until-packets") {
        return cli::parseU64(value, options.untilPackets);
    }
    if (name == "--min-packets") {
        return cli::parseU64(value, options.minPackets);
    }
    if (name == "--stall-after-ms") {
        return cli::parseU64(value, options.stallAfterMs) && options.stallAfterMs > 0;
    }
    if (name == "--file-mode") {
        options.fileMode = true;
        return true;
    }
    if (name == "--retry-ms") {
        return cli::parseU64(value, options.retryMs) && options.retryMs > 0 &&
               options.retryMs <= 60000;
    }
    if (name == "--shared-port") {
        options.sharedPort = true;
        return true;
    }
    return false;
}

bool resolveHost(const Options& options, sockaddr_in& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(options.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        std::fprintf(stderr, "cannot resolve host %s\n", options.host.c_str());
        return false;
    }
    std::memcpy(&out, found->ai_addr, sizeof(out));
    freeaddrinfo(found);
    out.sin_port = htons(static_cast<std::uint16_t>(options.port));
    return true;
}

// Log-linear histogram of microseconds: exact below 1024 us, then 512 steps per power of two
// (under 0.2% error), so millions of samples cost a fixed 224 KiB.
class LatencyHistogram {
public:
    void record(std::uint64_t us) {
        ++counts_[bucketOf(us)];
        ++count_;
        max_ = std::max(max_, us);
    }

    std::uint64_t count() const { return count_; }
    std::uint64_t maxUs() const { return max_; }

    std::uint64_t percentileUs(double fraction) const {
        const auto rank = static_cast<std::uint64_t>(fraction * static_cast<double>(count_));
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < counts_.size(); ++i) {
            seen += counts_[i];
            if (seen > rank) {
                return std::min(bucketMidUs(i), max_);
            }
        }
        return max_;
    }

private:
    static constexpr int kSubBits = 9;
    static constexpr std::uint64_t kSub = 1u << kSubBits;
    static constexpr std::size_t kBuckets = (64 - kSubBits) * kSub;

    static std::size_t bucketOf(std::uint64_t us) {
        const int width = std::bit_width(us);
        if (width <= kSubBits + 1) {
            return us;
        }
        const int shift = width - kSubBits - 1;
        return static_cast<std::size_t>(shift) * kSub + (us >> shift);
    }

    static std::uint64_t bucketMidUs(std::size_t index) {
        if (index < 2 * kSub) {
            return index;
        }
        const std::uint64_t shift = index / kSub - 1;
        const std::uint64_t mantissa = index - shift * kSub;
        return (mantissa << shift) + ((std::uint64_t{1} << shift) >> 1);
    }

    std::vector<std::uint64_t> counts_ = std::vector<std::uint64_t>(kBuckets);
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

enum class CallerState { Waiting, Connecting, Retrying, Connected, Failed, Lost, Closed };

struct Caller {
    int index = 0;
    SRTSOCKET socket = SRT_INVALID_SOCK;
    CallerState state = CallerState::Waiting;
    bool everConnected = false;
    tsframe::SequenceTracker sequence;
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
    std::uint64_t corrupt = 0;
    std::int64_t connectedAtMs = 0;
    std::int64_t firstAttemptMs = -1;
    // From the first connect attempt; -1 until seen. A key frame is a packet with the
    // random_access_indicator set, which is where a player can start to decode.
    std::int64_t firstByteMs = -1;
    std::int64_t firstKeyFrameMs = -1;
    std::int64_t retryAtMs = 0;
    std::uint64_t retries = 0;
    bool stalled = false;
    // SRT's receiver counters, read every second and just before the socket is closed
    std::uint64_t lossReported = 0;
    std::uint64_t retransmitted = 0;
    std::uint64_t dropped = 0;
    std::vector<std::uint8_t> partial; // file mode: the start of a packet split across reads
};

struct Summary {
    std::uint64_t connected = 0;
    std::uint64_t disconnected = 0;
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
    std::uint64_t gaps = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t corrupt = 0;
    std::uint64_t minPackets = 0;
    std::uint64_t lossReported = 0;
    std::uint64_t retransmitted = 0;
    std::uint64_t dropped = 0;
    std::uint64_t stalled = 0;
    bool anySequence = false;
    std::uint64_t firstSeq = 0;      // lowest first sequence number of any caller
    std::uint64_t lastSeq = 0;       // highest last sequence number of any caller
    std::uint64_t lastConnectMs = 0; // from the first connect attempt to the last connection
    std::uint64_t retries = 0;
    std::vector<std::int64_t> firstByteMs;     // of the callers that received anything
    std::vector<std::int64_t> firstKeyFrameMs; // of the callers that received a key frame
};

class LoadClient {
public:
    explicit LoadClient(const Options& options)
        : options_(options), callers_(options.callers), events_(options.callers),
          buffer_(kReceiveBufferSize) {
        for (std::size_t i = 0; i < callers_.size(); ++i) {
            callers_[i].index = static_cast<int>(i);
        }
    }
    LoadClient(const LoadClient&) = delete;
    LoadClient& operator=(const LoadClient&) = delete;
    ~LoadClient() {
        closeAll();
        if (epoll_ >= 0) {
            srt_epoll_release(epoll_);
        }
    }

    bool open() {
        if (!resolveHost(options_, address_)) {
            return false;
        }
        epoll_ = srt_epoll_create();
        if (epoll_ < 0) {
            std::fprintf(stderr, "srt_epoll_create: %s\n", srt_getlasterror_str());
            return false;
        }
        // Waiting with every caller failed must be a timeout, not an error.
        srt_epoll_set(epoll_, SRT_EPOLL_ENABLE_EMPTY);
        return true;
    }

    void run() {
        connectAll();
        receiveFor(static_cast<std::int64_t>(options_.seconds * 1000));
        closeAll();
    }

    Summary summarize() const {
        Summary summary;
        summary.minPackets = callers_.empty() ? 0 : std::numeric_limits<std::uint64_t>::max();
        for (const Caller& caller : callers_) {
            summary.connected += caller.everConnected ? 1 : 0;
            summary.disconnected += caller.state == CallerState::Lost ? 1 : 0;
            summary.packets += caller.packets;
            summary.bytes += caller.bytes;
            summary.gaps += caller.sequence.gaps();
            summary.duplicates += caller.sequence.duplicates();
            summary.corrupt += caller.corrupt;
            summary.minPackets = std::min(summary.minPackets, caller.packets);
            summary.lossReported += caller.lossReported;
            summary.retransmitted += caller.retransmitted;
            summary.dropped += caller.dropped;
            summary.stalled += caller.stalled ? 1 : 0;
            addSequenceRange(summary, caller.sequence);
            summary.retries += caller.retries;
            if (caller.firstByteMs >= 0) {
                summary.firstByteMs.push_back(caller.firstByteMs);
            }
            if (caller.firstKeyFrameMs >= 0) {
                summary.firstKeyFrameMs.push_back(caller.firstKeyFrameMs);
            }
            if (caller.everConnected) {
                summary.lastConnectMs =
                    std::max(summary.lastConnectMs,
                             static_cast<std::uint64_t>(caller.connectedAtMs - connectStartMs_));
            }
        }
        return summary;
    }

    const LatencyHistogram& latency() const { return latency_; }

private:
    static void addSequenceRange(Summary& summary, const tsframe::SequenceTracker& sequence) {
        if (!sequence.started()) {
            return;
        }
        summary.firstSeq =
            summary.anySequence ? std::min(summary.firstSeq, sequence.first()) : sequence.first();
        summary.lastSeq = std::max(summary.lastSeq, sequence.last());
        summary.anySequence = true;
    }

    // Starts the callers on their stagger schedule and waits until each has connected or
    // failed, or the connect timeout after the last attempt has passed.
    void connectAll() {
        const std::int64_t startMs = monotonicNowMs();
        connectStartMs_ = startMs;
        std::size_t attempted = 0;
        std::int64_t giveUpMs = 0;
        while (!tool::stopRequested()) {
            const std::int64_t nowMs = monotonicNowMs();
            while (attempted < callers_.size() &&
                   nowMs >= startMs + static_cast<std::int64_t>(attempted * options_.staggerMs)) {
                startConnect(callers_[attempted++]);
                giveUpMs = monotonicNowMs() + static_cast<std::int64_t>(options_.connectTimeoutMs) +
                           kConnectMarginMs;
            }
            retryDueCallers(nowMs);
            if (attempted == callers_.size() && countIn(CallerState::Connecting) == 0 &&
                countIn(CallerState::Retrying) == 0) {
                return;
            }
            if (attempted == callers_.size() && nowMs >= giveUpMs) {
                failStillConnecting();
                return;
            }
            pollOnce(kPollIntervalMs);
        }
    }

    void retryDueCallers(std::int64_t nowMs) {
        for (Caller& caller : callers_) {
            if (caller.state == CallerState::Retrying && nowMs >= caller.retryAtMs) {
                ++caller.retries;
                startConnect(caller);
            }
        }
    }

    // Within the connect timeout after its first attempt a refused caller, when asked to,
    // waits and tries again, as players do.
    bool retryLater(Caller& caller) {
        const std::int64_t nowMs = monotonicNowMs();
        if (options_.retryMs == 0 ||
            nowMs - caller.firstAttemptMs >= static_cast<std::int64_t>(options_.connectTimeoutMs)) {
            return false;
        }
        release(caller, CallerState::Retrying);
        caller.retryAtMs = nowMs + static_cast<std::int64_t>(options_.retryMs);
        return true;
    }

    void receiveFor(std::int64_t durationMs) {
        const std::int64_t endMs = monotonicNowMs() + durationMs;
        while (!tool::stopRequested() && countIn(CallerState::Connected) > 0) {
            const std::int64_t leftMs = endMs - monotonicNowMs();
            if (leftMs <= 0 || everyCallerHasItsPackets()) {
                return;
            }
            stallDueCallers();
            refreshReceiverCounters();
            pollOnce(std::min(leftMs, kPollIntervalMs));
        }
    }

    bool everyCallerHasItsPackets() const {
        return options_.untilPackets > 0 &&
               std::all_of(callers_.begin(), callers_.end(), [&](const Caller& caller) {
                   return caller.packets >= options_.untilPackets;
               });
    }

    // A connection the server breaks takes SRT's counters with it, so they are also read
    // while it lasts.
    void refreshReceiverCounters() {
        const std::int64_t nowMs = monotonicNowMs();
        if (nowMs - lastCountersMs_ < kCountersIntervalMs) {
            return;
        }
        lastCountersMs_ = nowMs;
        for (Caller& caller : callers_) {
            if (caller.state == CallerState::Connected) {
                readReceiverCounters(caller);
            }
        }
    }

    // A stalled caller keeps its connection but no longer asks for data: SRT's receive
    // buffer fills, and the sender sees a peer that stopped taking anything.
    void stallDueCallers() {
        if (options_.stallAfterMs == 0) {
            return;
        }
        const std::int64_t nowMs = monotonicNowMs();
        for (Caller& caller : callers_) {
            if (caller.state == CallerState::Connected && !caller.stalled &&
                nowMs - caller.connectedAtMs >= static_cast<std::int64_t>(options_.stallAfterMs)) {
                caller.stalled = true;
                const int events = SRT_EPOLL_ERR;
                srt_epoll_update_usock(epoll_, caller.socket, &events);
            }
        }
    }

    bool configure(SRTSOCKET socket) {
        const int no = 0;
        if (options_.fileMode) {
            // The transport type resets other options to its defaults, so it goes first.
            const SRT_TRANSTYPE type = SRTT_FILE;
            const int mss = kFileModeMss;
            if (srt_setsockflag(socket, SRTO_TRANSTYPE, &type, sizeof(type)) != 0 ||
                srt_setsockflag(socket, SRTO_MSS, &mss, sizeof(mss)) != 0) {
                return false;
            }
        } else {
            const int latency = static_cast<int>(options_.latencyMs);
            if (srt_setsockflag(socket, SRTO_LATENCY, &latency, sizeof(latency)) != 0) {
                return false;
            }
        }
        const int timeout = static_cast<int>(options_.connectTimeoutMs);
        if (srt_setsockflag(socket, SRTO_RCVSYN, &no, sizeof(no)) != 0 ||
            srt_setsockflag(socket, SRTO_SNDSYN, &no, sizeof(no)) != 0 ||
            srt_setsockflag(socket, SRTO_CONNTIMEO, &timeout, sizeof(timeout)) != 0) {
            return false;
        }
        if (!options_.passphrase.empty() &&
            srt_setsockflag(socket, SRTO_PASSPHRASE, options_.passphrase.c_str(),
                            static_cast<int>(options_.passphrase.size())) != 0) {
            return false;
        }
        return options_.streamId.empty() ||
               srt_setsockflag(socket, SRTO_STREAMID, options_.streamId.c_str(),
                               static_cast<int>(options_.streamId.size())) == 0;
    }

    void startConnect(Caller& caller) {
        if (caller.firstAttemptMs < 0) {
            caller.firstAttemptMs = monotonicNowMs();
        }
        caller.socket = srt_create_socket();
        if (caller.socket == SRT_INVALID_SOCK) {
            fail(caller, srt_getlasterror_str());
            return;
        }
        if (!configure(caller.socket) || (options_.sharedPort && !bindShared(caller.socket))) {
            fail(caller, srt_getlasterror_str());
            return;
        }
        const int events = SRT_EPOLL_OUT | SRT_EPOLL_ERR;
        if (srt_epoll_add_usock(epoll_, caller.socket, &events) != 0) {
            fail(caller, srt_getlasterror_str());
            return;
        }
        bySocket_[caller.socket] = &caller;
        caller.state = CallerState::Connecting;
        const auto* address = reinterpret_cast<const sockaddr*>(&address_);
        if (srt_connect(caller.socket, address, sizeof(address_)) == SRT_ERROR) {
            fail(caller, srt_getlasterror_str());
        }
    }

    // The first caller takes a free port; the others bind to the same one, and libsrt lets
    // sockets bound to one port share its UDP socket and queue threads.
    bool bindShared(SRTSOCKET socket) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = sharedPort_;
        if (srt_bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
            return false;
        }
        if (sharedPort_ == 0) {
            int length = sizeof(local);
            if (srt_getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
                return false;
            }
            sharedPort_ = local.sin_port;
        }
        return true;
    }

    void pollOnce(std::int64_t timeoutMs) {
        const int ready =
            srt_epoll_uwait(epoll_, events_.data(), static_cast<int>(events_.size()), timeoutMs);
        for (int i = 0; i < ready; ++i) {
            const auto found = bySocket_.find(events_[i].fd);
            if (found != bySocket_.end()) {
                handleEvent(*found->second, events_[i].events);
            }
        }
    }

    void handleEvent(Caller& caller, int events) {
        if (caller.state == CallerState::Connecting) {
            finishConnect(caller);
            return;
        }
        if (caller.state != CallerState::Connected) {
            return;
        }
        if ((events & SRT_EPOLL_IN) != 0 && !caller.stalled) {
            drain(caller);
        }
        if (caller.state == CallerState::Connected && (events & SRT_EPOLL_ERR) != 0) {
            lose(caller);
        }
    }

    void finishConnect(Caller& caller) {
        const SRT_SOCKSTATUS status = srt_getsockstate(caller.socket);
        if (status == SRTS_CONNECTING) {
            return;
        }
        if (status != SRTS_CONNECTED) {
            if (!retryLater(caller)) {
                // The number tells apart the server's own reasons, which share one text.
                const int reason = srt_getrejectreason(caller.socket);
                const std::string why = std::string(srt_rejectreason_str(reason)) +
                                        " (reject reason " + std::to_string(reason) + ")";
                fail(caller, why.c_str());
            }
            return;
        }
        caller.state = CallerState::Connected;
        caller.everConnected = true;
        caller.connectedAtMs = monotonicNowMs();
        const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        srt_epoll_update_usock(epoll_, caller.socket, &events);
    }

    void drain(Caller& caller) {
        for (int read = 0; read < kMaxReadsPerWake; ++read) {
            const int length = srt_recvmsg(caller.socket, reinterpret_cast<char*>(buffer_.data()),
                                           static_cast<int>(buffer_.size()));
            if (length == SRT_ERROR) {
                if (srt_getlasterror(nullptr) != SRT_EASYNCRCV) {
                    lose(caller);
                }
                return;
            }
            if (length <= 0) {
                return;
            }
            caller.bytes += static_cast<std::uint64_t>(length);
            const std::span<const std::uint8_t> data(buffer_.data(),
                                                     static_cast<std::size_t>(length));
            noteFirstArrivals(caller, data);
            if (options_.fileMode) {
                consumeStream(caller, data);
            } else {
                consumeMessage(caller, data);
            }
        }
    }

    static bool carriesRandomAccess(std::span<const std::uint8_t> data) {
        constexpr std::uint8_t kAdaptationField = 0x20;
        constexpr std::uint8_t kRandomAccessIndicator = 0x40;
        for (std::size_t at = 0; at + tsframe::kPacketSize <= data.size();
             at += tsframe::kPacketSize) {
            const std::uint8_t* packet = data.data() + at;
            if (packet[0] == tsframe::kSyncByte && (packet[3] & kAdaptationField) != 0 &&
                packet[4] > 0 && (packet[5] & kRandomAccessIndicator) != 0) {
                return true;
            }
        }
        return false;
    }

    // File mode may split packets across reads; a key frame is then seen a read late at worst.
    static void noteFirstArrivals(Caller& caller, std::span<const std::uint8_t> data) {
        if (caller.firstKeyFrameMs >= 0) {
            return;
        }
        const std::int64_t sinceAttemptMs = monotonicNowMs() - caller.firstAttemptMs;
        if (caller.firstByteMs < 0) {
            caller.firstByteMs = sinceAttemptMs;
        }
        if (carriesRandomAccess(data)) {
            caller.firstKeyFrameMs = sinceAttemptMs;
        }
    }

    void consumeMessage(Caller& caller, std::span<const std::uint8_t> message) {
        if (message.size() != tsframe::kDatagramSize) {
            ++caller.corrupt;
            char what[64];
            std::snprintf(what, sizeof(what), "message of %zu bytes", message.size());
            report(caller, what);
        }
        consumePackets(caller, message);
    }

    // File mode delivers a byte stream; packets may be split anywhere across reads.
    void consumeStream(Caller& caller, std::span<const std::uint8_t> data) {
        if (!caller.partial.empty()) {
            const std::size_t take =
                std::min(tsframe::kPacketSize - caller.partial.size(), data.size());
            caller.partial.insert(caller.partial.end(), data.begin(), data.begin() + take);
            data = data.subspan(take);
            if (caller.partial.size() < tsframe::kPacketSize) {
                return;
            }
            consumePackets(caller, caller.partial);
            caller.partial.clear();
        }
        const std::size_t whole = data.size() - data.size() % tsframe::kPacketSize;
        consumePackets(caller, data.first(whole));
        caller.partial.assign(data.begin() + whole, data.end());
    }

    void consumePackets(Caller& caller, std::span<const std::uint8_t> data) {
        const std::uint64_t nowUs = tsframe::monotonicNowUs();
        for (std::size_t at = 0; at + tsframe::kPacketSize <= data.size();
             at += tsframe::kPacketSize) {
            const tsframe::Verdict verdict =
                tsframe::verifyPacket(data.subspan(at).first<tsframe::kPacketSize>());
            if (!verdict.ok()) {
                ++caller.corrupt;
                report(caller, tsframe::faultName(verdict.fault));
                continue;
            }
            ++caller.packets;
            caller.sequence.observe(verdict.seq);
            latency_.record(nowUs > verdict.timestampUs ? nowUs - verdict.timestampUs : 0);
        }
    }

    void report(const Caller& caller, const char* what) {
        if (faultReports_ >= kMaxFaultReports) {
            return;
        }
        ++faultReports_;
        std::fprintf(stderr, "caller %d: %s\n", caller.index, what);
    }

    void fail(Caller& caller, const char* why) {
        std::fprintf(stderr, "caller %d: connect failed: %s\n", caller.index, why);
        release(caller, CallerState::Failed);
    }

    void lose(Caller& caller) {
        std::fprintf(stderr, "caller %d: connection lost after %llu packets\n", caller.index,
                     static_cast<unsigned long long>(caller.packets));
        release(caller, CallerState::Lost);
    }

    void release(Caller& caller, CallerState state) {
        caller.state = state;
        if (caller.socket == SRT_INVALID_SOCK) {
            return;
        }
        readReceiverCounters(caller);
        srt_epoll_remove_usock(epoll_, caller.socket);
        bySocket_.erase(caller.socket);
        srt_close(caller.socket);
        caller.socket = SRT_INVALID_SOCK;
    }

    // Never cleared, so the interval counters cover the whole connection as well.
    static void readReceiverCounters(Caller& caller) {
        SRT_TRACEBSTATS stats{};
        if (!caller.everConnected || srt_bistats(caller.socket, &stats, 0, 1) != 0) {
            return;
        }
        caller.lossReported = static_cast<std::uint64_t>(std::max(stats.pktRcvLossTotal, 0));
        caller.retransmitted = static_cast<std::uint64_t>(std::max(stats.pktRcvRetrans, 0));
        caller.dropped = static_cast<std::uint64_t>(std::max(stats.pktRcvDropTotal, 0));
    }

    void failStillConnecting() {
        for (Caller& caller : callers_) {
            if (caller.state == CallerState::Connecting || caller.state == CallerState::Retrying) {
                fail(caller, "no answer before the connect timeout");
            }
        }
    }

    void closeAll() {
        for (Caller& caller : callers_) {
            if (caller.state == CallerState::Connected) {
                release(caller, CallerState::Closed);
            } else if (caller.state == CallerState::Connecting) {
                release(caller, CallerState::Failed);
            }
        }
    }

    std::size_t countIn(CallerState state) const {
        return static_cast<std::size_t>(
            std::count_if(callers_.begin(), callers_.end(),
                          [state](const Caller& caller) { return caller.state == state; }));
    }

    const Options& options_;
    sockaddr_in address_{};
    int epoll_ = -1;
    std::vector<Caller> callers_; // never resized: bySocket_ points into it
    std::unordered_map<SRTSOCKET, Caller*> bySocket_;
    std::vector<SRT_EPOLL_EVENT> events_;
    std::vector<std::uint8_t> buffer_;
    LatencyHistogram latency_;
    int faultReports_ = 0;
    std::int64_t lastCountersMs_ = 0;
    std::int64_t connectStartMs_ = 0;
    std::uint16_t sharedPort_ = 0; // network byte order; 0 until the first caller bound
};

std::int64_t percentileOf(std::vector<std::int64_t> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

// p50, p90 and max in ms of one time per caller; null when no caller has one.
tool::JsonLine spreadOf(const std::vector<std::int64_t>& ms) {
    const bool any = !ms.empty();
    const auto us = [&](double fraction) {
        return static_cast<std::uint64_t>(percentileOf(ms, fraction)) * 1000;
    };
    return tool::JsonLine()
        .millisecondsOrNull("p50", any, us(0.5))
        .millisecondsOrNull("p90", any, us(0.9))
        .millisecondsOrNull("max", any, us(1.0))
        .number("callers", ms.size());
}

void printSummary(const Options& options, const Summary& summary, const LatencyHistogram& latency) {
    const bool anyLatency = latency.count() > 0;
    tool::JsonLine()
        .number("callers", options.callers)
        .number("connected", summary.connected)
        .number("packets", summary.packets)
        .number("bytes", summary.bytes)
        .number("gaps", summary.gaps)
        .number("duplicates", summary.duplicates)
        .number("corrupt", summary.corrupt)
        .object("latency_ms", tool::JsonLine()
                                  .millisecondsOrNull("p50", anyLatency, latency.percentileUs(0.50))
                                  .millisecondsOrNull("p99", anyLatency, latency.percentileUs(0.99))
                                  .millisecondsOrNull("max", anyLatency, latency.maxUs()))
        .number("per_caller_min_packets", summary.minPackets)
        .number("disconnected", summary.disconnected)
        .number("rcv_loss", summary.lossReported)
        .number("rcv_retrans", summary.retransmitted)
        .number("rcv_drop", summary.dropped)
        .number("stalled", summary.stalled)
        .numberOrNull("first_seq", summary.anySequence, summary.firstSeq)
        .numberOrNull("last_seq", summary.anySequence, summary.lastSeq)
        .numberOrNull("last_connect_ms", summary.connected > 0, summary.lastConnectMs)
        .number("connect_retries", summary.retries)
        .object("first_byte_ms", spreadOf(summary.firstByteMs))
        .object("first_key_frame_ms", spreadOf(summary.firstKeyFrameMs))
        .print();
}

bool passed(const Options& options, const Summary& summary) {
    return summary.connected == options.callers && summary.gaps == 0 && summary.duplicates == 0 &&
           summary.corrupt == 0 && summary.minPackets >= options.minPackets;
}

// srt_startup/srt_cleanup for the lifetime of main.
class SrtLibrary {
public:
    SrtLibrary() : started_(srt_startup() >= 0) {}
    ~SrtLibrary() {
        if (started_) {
            srt_cleanup();
        }
    }
    SrtLibrary(const SrtLibrary&) = delete;
    SrtLibrary& operator=(const SrtLibrary&) = delete;
    bool started() const { return started_; }

private:
    bool started_;
};

} // namespace
} // namespace vandra

int main(int argc, char** argv) {
    using namespace vandra;
    Options options;
    if (!cli::parseArgs(argc, argv, {"--file-mode", "--shared-port"},
                        [&](std::string_view name, const char* value) {
                            return parseValue(name, value, options);
                        })) {
        printUsage();
        return tool::kExitUsage;
    }
    tool::installStopHandlers();
    SrtLibrary library;
    if (!library.started()) {
        std::fprintf(stderr, "srt_startup: %s\n", srt_getlasterror_str());
        return tool::kExitFailed;
    }
    srt_setloglevel(LOG_CRIT); // failures are reported per caller instead
    Summary summary;
    bool opened = false;
    {
        LoadClient client(options);
        opened = client.open();
        if (opened) {
            client.run();
        }
        summary = client.summarize();
        printSummary(options, summary, client.latency());
    }
    return opened && passed(options, summary) ? 0 : tool::kExitFailed;
}
