// vandra-publisher: sends the tsframe test stream as paced UDP datagrams to a multicast group
// (or a unicast address for fault tests), raw or wrapped in RTP with faults injected at known
// packets, and reports what it sent as one JSON line.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <vector>

#include "tools/cliargs.h"
#include "tools/rtpsender.h"
#include "tools/toolcommon.h"
#include "tools/tsframe.h"

namespace vandra {
namespace {

constexpr std::size_t kMaxDatagram = 65507; // largest UDP payload over IPv4
constexpr std::int64_t kRebaseLagNs = 100'000'000;
constexpr int kSendBufferBytes = 4 * 1024 * 1024;
constexpr std::uint8_t kJunkByte = 0xff; // never a sync byte, so forwarded junk shows as corrupt
constexpr std::uint8_t kBadSyncByte = 0x00;

struct Options {
    std::string group = "239.255.0.1";
    std::uint64_t port = 5000;
    std::string iface = "127.0.0.1";
    std::string from; // local address to send from; empty: the one IP picks
    std::uint64_t bitrate = 4'000'000;
    double seconds = 0; // 0 = until signalled or --count reached
    std::uint64_t count = 0;
    std::uint64_t size = tsframe::kDatagramSize;
    std::uint64_t startSeq = 0;
    std::uint64_t injectEvery = 0;
    std::uint64_t injectSize = 0;
    std::uint64_t ttl = 1;
    std::optional<std::uint64_t> skipSeq;    // this packet is left out: a continuity jump
    std::optional<std::uint64_t> badSyncSeq; // this packet goes out without its sync byte
    bool rtp = false;
    bool rtpTuned = false; // any --rtp-* option given
    bool rtpSsrcGiven = false;
    tool::RtpOptions rtpOptions;
};

struct Totals {
    std::uint64_t datagrams = 0;
    std::uint64_t injected = 0;
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
    std::uint64_t sendErrors = 0;
    std::uint64_t lastSeq = 0;
};

void printUsage() {
    std::fprintf(
        stderr,
        "usage: vandra-publisher [--group ADDR] [--port P] [--iface ADDR] [--from ADDR]\n"
        "         [--bitrate BITS]\n"
        "         [--seconds S | --count N] [--size 1316|188|0|N] [--start-seq N]\n"
        "         [--inject-every K --inject-size S] [--ttl T]\n"
        "         [--skip-seq N] [--bad-sync-seq N]\n"
        "         [--rtp [--rtp-seq N] [--rtp-ssrc N] [--rtp-csrc 0-15]\n"
        "                [--rtp-extension-words N] [--rtp-padding 0-255]\n"
        "                [--rtp-drop I,..] [--rtp-dup I,..] [--rtp-swap I,..]\n"
        "                [--rtp-delay I:K,..] [--rtp-ssrc-change I,..]]\n"
        "  --size: a multiple of 188 up to 1316 carries test packets; 0 sends empty\n"
        "          datagrams; any other size sends junk of that size.\n"
        "  --count counts regular datagrams; injected ones come on top.\n"
        "  --skip-seq N leaves test packet N out (the next one takes its place), so its\n"
        "        PID's continuity counter jumps once; --bad-sync-seq N sends packet N with\n"
        "        a wrong sync byte. Both are for raw datagrams only.\n"
        "  Without --seconds and --count it runs until SIGTERM/SIGINT.\n"
        "  --from ADDR sends from that local address (127.0.0.2: a second sender on lo).\n"
        "  --rtp wraps each regular datagram (--size is its payload, and what --bitrate\n"
        "        paces) in an RTP header, payload type 33. Faults name packet indexes\n"
        "        (0 = the first): drop never sends it, dup sends it twice, swap I sends\n"
        "        I+1 before I, delay I:K sends I after K later packets, ssrc-change gives\n"
        "        I and later packets a new SSRC. Injected junk datagrams stay raw.\n");
}

// "1,5,9": packet indexes.
bool parseIndexes(const char* text, std::set<std::uint64_t>& out) {
    std::string_view rest = text;
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string item(rest.substr(0, comma));
        std::uint64_t index = 0;
        if (!cli::parseU64(item.c_str(), index)) {
            return false;
        }
        out.insert(index);
        if (comma == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(comma + 1);
    }
}

// "3:1,20:5": index, then how many later packets go before it.
bool parseDelays(const char* text, std::map<std::uint64_t, std::uint64_t>& out) {
    constexpr std::uint64_t kLongestDelay = 1'000'000;
    std::string_view rest = text;
    while (true) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const std::size_t colon = item.find(':');
        if (colon == std::string_view::npos) {
            return false;
        }
        const std::string index(item.substr(0, colon));
        const std::string later(item.substr(colon + 1));
        std::uint64_t i = 0;
        std::uint64_t k = 0;
        if (!cli::parseU64(index.c_str(), i) || !cli::parseU64(later.c_str(), k) || k == 0 ||
            k > kLongestDelay) {
            return false;
        }
        out[i] = k;
        if (comma == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(comma + 1);
    }
}

template <typename Field> bool parseAtMost(const char* text, std::uint64_t limit, Field& out) {
    std::uint64_t value = 0;
    if (!cli::parseU64(text, value) || value > limit) {
        return false;
    }
    out = static_cast<Field>(value);
    return true;
}

bool parseRtpValue(std::string_view name, const char* value, Options& options) {
    tool::RtpOptions& rtp = options.rtpOptions;
    if (name == "--rtp-seq") {
        return parseAtMost(value, 0xffff, rtp.firstSequence);
    }
    if (name == "--rtp-ssrc") {
        options.rtpSsrcGiven = true;
        return parseAtMost(value, 0xffffffff, rtp.ssrc);
    }
    if (name == "--rtp-csrc") {
        return parseAtMost(value, 15, rtp.csrcCount);
    }
    if (name == "--rtp-extension-words") {
        return parseAtMost(value, 0xffff, rtp.extensionWords);
    }
    if (name == "--rtp-padding") {
        return parseAtMost(value, 255, rtp.padding);
    }
    if (name == "--rtp-drop") {
        return parseIndexes(value, rtp.drop);
    }
    if (name == "--rtp-dup") {
        return parseIndexes(value, rtp.duplicate);
    }
    if (name == "--rtp-ssrc-change") {
        return parseIndexes(value, rtp.ssrcChange);
    }
    if (name == "--rtp-delay") {
        return parseDelays(value, rtp.delay);
    }
    if (name == "--rtp-swap") {
        std::set<std::uint64_t> swapped;
        if (!parseIndexes(value, swapped)) {
            return false;
        }
        for (const std::uint64_t index : swapped) {
            rtp.delay[index] = 1;
        }
        return true;
    }
    return false;
}

bool parseValue(std::string_view name, const char* value, Options& options) {
    if (name == "--rtp") {
        options.rtp = true;
        return true;
    }
    if (name.starts_with("--rtp-")) {
        options.rtpTuned = true;
        return parseRtpValue(name, value, options);
    }
    if (name == "--group") {
        options.group = value;
        return true;
    }
    if (name == "--iface") {
        options.iface = value;
        return true;
    }
    if (name == "--from") {
        options.from = value;
        return true;
    }
    if (name == "--port") {
        return cli::parseU64(value, options.port) && options.port > 0 && options.port < 65536;
    }
    if (name == "--bitrate") {
        return cli::parseU64(value, options.bitrate) && options.bitrate > 0;
    }
    if (name == "--seconds") {
        return cli::parseDouble(value, options.seconds);
    }
    if (name == "--count") {
        return cli::parseU64(value, options.count);
    }
    if (name == "--size") {
        return cli::parseU64(value, options.size) && options.size <= kMaxDatagram;
    }
    if (name == "--start-seq") {
        return cli::parseU64(value, options.startSeq);
    }
    if (name == "--inject-every") {
        return cli::parseU64(value, options.injectEvery);
    }
    if (name == "--inject-size") {
        return cli::parseU64(value, options.injectSize) && options.injectSize <= kMaxDatagram;
    }
    if (name == "--ttl") {
        return cli::parseU64(value, options.ttl) && options.ttl <= 255;
    }
    if (name == "--skip-seq" || name == "--bad-sync-seq") {
        std::uint64_t seq = 0;
        if (!cli::parseU64(value, seq)) {
            return false;
        }
        (name == "--skip-seq" ? options.skipSeq : options.badSyncSeq) = seq;
        return true;
    }
    return false;
}

// RTP options without --rtp would silently test nothing; a datagram must fit UDP.
bool rtpOptionsFit(Options& options) {
    if (options.rtp && (options.skipSeq || options.badSyncSeq)) {
        std::fprintf(stderr, "--skip-seq and --bad-sync-seq are for raw datagrams only\n");
        return false;
    }
    if (!options.rtp) {
        if (options.rtpTuned) {
            std::fprintf(stderr, "--rtp-* options need --rtp\n");
        }
        return !options.rtpTuned;
    }
    if (!options.rtpSsrcGiven) {
        options.rtpOptions.ssrc = std::random_device{}();
    }
    if (options.size + tool::RtpSender::overhead(options.rtpOptions) > kMaxDatagram) {
        std::fprintf(stderr, "--size with the RTP header and padding exceeds %zu bytes\n",
                     kMaxDatagram);
        return false;
    }
    return true;
}

bool carriesPackets(std::uint64_t size) {
    return size > 0 && size <= tsframe::kDatagramSize && size % tsframe::kPacketSize == 0;
}

std::int64_t monotonicNowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Sleeps until the absolute monotonic deadline; returns early when a stop signal arrives.
void sleepUntil(std::int64_t deadlineNs) {
    const timespec until{static_cast<time_t>(deadlineNs / 1'000'000'000),
                         static_cast<long>(deadlineNs % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        if (tool::stopRequested()) {
            return;
        }
    }
}

// A UDP socket aimed at one destination.
class Sender {
public:
    bool open(const Options& options) {
        destination_.sin_family = AF_INET;
        destination_.sin_port = htons(static_cast<std::uint16_t>(options.port));
        if (inet_pton(AF_INET, options.group.c_str(), &destination_.sin_addr) != 1) {
            std::fprintf(stderr, "bad destination address %s\n", options.group.c_str());
            return false;
        }
        if (!socket_.valid()) {
            std::perror("socket");
            return false;
        }
        socket_.setBuffer(SO_SNDBUF, kSendBufferBytes);
        if (!options.from.empty() && !bindSender(options.from)) {
            return false;
        }
        if (IN_MULTICAST(ntohl(destination_.sin_addr.s_addr))) {
            return setMulticastOptions(options);
        }
        return true;
    }

    bool send(const std::uint8_t* data, std::size_t length) {
        const auto* address = reinterpret_cast<const sockaddr*>(&destination_);
        return sendto(socket_.fd(), data, length, 0, address, sizeof(destination_)) ==
               static_cast<ssize_t>(length);
    }

private:
    bool bindSender(const std::string& from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1) {
            std::fprintf(stderr, "bad sending address %s\n", from.c_str());
            return false;
        }
        if (!socket_.bind(local)) {
            std::perror("bind --from");
            return false;
        }
        return true;
    }

    bool setMulticastOptions(const Options& options) {
        in_addr iface{};
        if (inet_pton(AF_INET, options.iface.c_str(), &iface) != 1) {
            std::fprintf(stderr, "bad interface address %s\n", options.iface.c_str());
            return false;
        }
        const int fd = socket_.fd();
        const int loop = 1;
        const int ttl = static_cast<int>(options.ttl);
        if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface)) != 0 ||
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0 ||
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) != 0) {
            std::perror("multicast socket options");
            return false;
        }
        return true;
    }

    tool::UdpSocket socket_;
    sockaddr_in destination_{};
};

class Publisher {
public:
    explicit Publisher(const Options& options)
        : options_(options),
          buffer_(std::max<std::size_t>(options.size, options.injectSize), kJunkByte),
          packetsPerDatagram_(carriesPackets(options.size) ? options.size / tsframe::kPacketSize
                                                           : 0),
          nextSeq_(options.startSeq) {
        // Empty datagrams carry no bits; pace them as if they were full ones.
        const std::uint64_t pacedBytes = options.size > 0 ? options.size : tsframe::kDatagramSize;
        intervalNs_ =
            static_cast<double>(pacedBytes) * 8.0 * 1e9 / static_cast<double>(options.bitrate);
    }

    bool open() {
        if (options_.rtp) {
            rtp_ = std::make_unique<tool::RtpSender>(
                options_.rtpOptions,
                [this](std::span<const std::uint8_t> datagram, std::uint64_t index, bool copy) {
                    return recordRtp(datagram, index, copy);
                });
        }
        return sender_.open(options_);
    }

    void run() {
        std::int64_t originNs = monotonicNowNs();
        const std::int64_t endNs =
            options_.seconds > 0 ? originNs + static_cast<std::int64_t>(options_.seconds * 1e9)
                                 : std::numeric_limits<std::int64_t>::max();
        std::uint64_t sinceOrigin = 0;
        std::uint64_t regularSent = 0;
        while (!tool::stopRequested() && (options_.count == 0 || regularSent < options_.count)) {
            std::int64_t deadline = originNs + deadlineOffsetNs(sinceOrigin);
            if (deadline >= endNs) {
                break;
            }
            const std::int64_t lag = monotonicNowNs() - deadline;
            if (lag > kRebaseLagNs) {
                // After a long stall, catching up would be a flood; restart the schedule.
                originNs += lag;
                deadline += lag;
            }
            sleepUntil(deadline);
            if (tool::stopRequested()) {
                break;
            }
            sendRegular();
            ++sinceOrigin;
            ++regularSent;
            if (options_.injectEvery > 0 && regularSent % options_.injectEvery == 0) {
                sendInjected();
            }
        }
        if (rtp_) {
            rtp_->flush();
        }
    }

    // With --rtp, "packets" counts distinct test packets (a duplicate's are counted once) and
    // "last_seq" is the highest sent, whatever the order.
    void report() const {
        const bool anyPackets = totals_.packets > 0;
        tool::JsonLine line;
        line.number("datagrams", totals_.datagrams)
            .number("packets", totals_.packets)
            .number("bytes", totals_.bytes)
            .numberOrNull("first_seq", anyPackets, options_.startSeq)
            .numberOrNull("last_seq", anyPackets, totals_.lastSeq)
            .number("injected", totals_.injected)
            .number("send_errors", totals_.sendErrors);
        if (rtp_) {
            const tool::RtpInjected& injected = rtp_->injected();
            line.object("rtp", tool::JsonLine()
                                   .number("first_seq", options_.rtpOptions.firstSequence)
                                   .numberOrNull("last_seq", rtp_->anySent(), rtp_->lastSequence())
                                   .number("ssrc", rtp_->firstSsrc())
                                   .number("dropped", injected.dropped)
                                   .number("duplicated", injected.duplicated)
                                   .number("reordered", injected.reordered)
                                   .number("ssrc_changes", injected.ssrcChanges));
        }
        line.print();
    }

private:
    std::int64_t deadlineOffsetNs(std::uint64_t index) const {
        return static_cast<std::int64_t>(static_cast<double>(index) * intervalNs_);
    }

    // Fills the datagram with the next test packets, with the faults asked for, and returns
    // the sequence number after the last one.
    std::uint64_t fillTestPackets(std::uint64_t seq) {
        const std::uint64_t timestampUs = tsframe::monotonicNowUs();
        for (std::uint64_t i = 0; i < packetsPerDatagram_; ++i, ++seq) {
            if (options_.skipSeq == seq) {
                ++seq;
            }
            std::uint8_t* packet = buffer_.data() + i * tsframe::kPacketSize;
            tsframe::fillPacket(tsframe::PacketOut(packet, tsframe::kPacketSize), seq, timestampUs);
            if (options_.badSyncSeq == seq) {
                packet[0] = kBadSyncByte;
            }
        }
        return seq;
    }

    void sendRegular() {
        const std::size_t length = options_.size;
        std::uint64_t afterLast = nextSeq_;
        if (packetsPerDatagram_ > 0) {
            afterLast = fillTestPackets(nextSeq_);
        } else {
            std::fill_n(buffer_.begin(), length, kJunkByte);
        }
        // A failed send still uses up its sequence numbers: to a receiver it is a loss.
        nextSeq_ = afterLast;
        if (rtp_) {
            rtp_->send(std::span(buffer_.data(), length), rtpTimestamp());
            return;
        }
        if (!record(sender_.send(buffer_.data(), length), length)) {
            return;
        }
        if (packetsPerDatagram_ > 0) {
            totals_.packets += packetsPerDatagram_;
            totals_.lastSeq = afterLast - 1;
        }
    }

    void sendInjected() {
        const std::size_t length = options_.injectSize;
        std::fill_n(buffer_.begin(), length, kJunkByte);
        if (record(sender_.send(buffer_.data(), length), length)) {
            ++totals_.injected;
        }
    }

    // 90 kHz, as for MPEG-TS over RTP.
    static std::uint32_t rtpTimestamp() {
        return static_cast<std::uint32_t>(tsframe::monotonicNowUs() * 9 / 100);
    }

    // Packet `index` of the RTP sender carries test packets from startSeq + index * per datagram.
    bool recordRtp(std::span<const std::uint8_t> datagram, std::uint64_t index, bool copy) {
        if (!record(sender_.send(datagram.data(), datagram.size()), datagram.size())) {
            return false;
        }
        if (!copy && packetsPerDatagram_ > 0) {
            totals_.packets += packetsPerDatagram_;
            totals_.lastSeq = std::max(totals_.lastSeq,
                                       options_.startSeq + (index + 1) * packetsPerDatagram_ - 1);
        }
        return true;
    }

    bool record(bool sent, std::size_t length) {
        if (!sent) {
            ++totals_.sendErrors;
            return false;
        }
        ++totals_.datagrams;
        totals_.bytes += length;
        return true;
    }

    const Options& options_;
    Sender sender_;
    std::unique_ptr<tool::RtpSender> rtp_;
    std::vector<std::uint8_t> buffer_;
    const std::uint64_t packetsPerDatagram_;
    std::uint64_t nextSeq_;
    double intervalNs_ = 0;
    Totals totals_;
};

} // namespace
} // namespace vandra

int main(int argc, char** argv) {
    using namespace vandra;
    Options options;
    if (!cli::parseArgs(argc, argv, {"--rtp"},
                        [&](std::string_view name, const char* value) {
                            return parseValue(name, value, options);
                        }) ||
        !rtpOptionsFit(options)) {
        printUsage();
        return tool::kExitUsage;
    }
    tool::installStopHandlers();
    // The default 50 us timer slack would smear the send times at high rates.
    prctl(PR_SET_TIMERSLACK, 1UL);
    Publisher publisher(options);
    return tool::openRunAndReport(publisher);
}
