#include "ingest/leftserver.h"

#include <array>
#include <cstdlib>

#include "app/logger.h"
#include "app/utils.h"
#include "ingest/ringbuffer_adaptive.h"
#include "platform/platform.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "leftserver";
constexpr int kFatalStatus = -1;
// One stray sender must not flood the console: at most one line per interval.
constexpr std::int64_t kOversizeLogIntervalMs = 5000;

// Once the accept thread waits in srt_accept, std::exit hangs for good: libsrt's static
// teardown destroys the listener's condition variable under that waiter. Log lines are
// already flushed and the recording closed, so nothing is lost by skipping the teardown.
[[noreturn]] void exitWithoutTeardown() {
    std::_Exit(kFatalStatus);
}
} // namespace

LeftServer::LeftServer() : sampler_(*this) {}

void LeftServer::setParams(const SourceAddress& source, const SrtListenParams& srt, bool dump) {
    group_ = source.group;
    port_ = source.port;
    iface_ = source.iface;
    srt_ = srt;
    dump_ = dump;
}

void LeftServer::serve() {
    if (!rightServer_.start(srt_)) {
        platform::consolePause();
        std::exit(kFatalStatus);
    }
    sampler_.start();
    if (!openSocket() || !bindAndJoin()) {
        fatalStop();
    }
    receiveLoop();
}

bool LeftServer::openSocket() {
    if (!sock_.open()) {
        LOG_LINE << "ERROR: socket failed: " << platform::lastSocketError();
        return false;
    }
    if (!sock_.setReuseAddress()) {
        LOG_LINE << "ERROR: setsockopt failed: " << platform::lastSocketError();
        sock_.close();
        return false;
    }
    tuneReceiveBuffer();
    return true;
}

void LeftServer::tuneReceiveBuffer() {
    LOG_LINE << "before recv [buffer] to " << sock_.receiveBufferSize();
    if (!sock_.setReceiveBufferSize(kReceiveBufferBytes)) {
        LOG_LINE << "Error change recv [buffer] " << kReceiveBufferBytes;
        return;
    }
    LOG_LINE << "Ok change recv [buffer] to " << sock_.receiveBufferSize();
    // Linux caps the size at net.core.rmem_max and reports twice what it granted. Where we
    // may, go past the cap; otherwise say how, since a small buffer drops input at high rates.
    if (sock_.receiveBufferSize() / 2 < kReceiveBufferBytes &&
        !sock_.forceReceiveBufferSize(kReceiveBufferBytes)) {
        LOG_LINE << "-- recv buffer granted " << sock_.receiveBufferSize() / 2 << " of "
                 << kReceiveBufferBytes << " bytes: raise sysctl net.core.rmem_max to at least "
                 << kReceiveBufferBytes << " to avoid input loss at high bitrates";
    }
}

bool LeftServer::bindAndJoin() {
    std::uint32_t ifaceAddress = platform::anyAddress();
    if (iface_.empty()) {
        LOG_LINE << "-- used iface: ANY ";
    } else {
        LOG_LINE << "-- used iface: " << iface_;
        if (!platform::parseIpv4(iface_, ifaceAddress)) {
            LOG_LINE << "ERROR: interface is not an IPv4 address: " << iface_;
            sock_.close();
            return false;
        }
    }
    const std::optional<std::int32_t> portNumber = toInt32(port_);
    if (!portNumber || *portNumber < 0 || *portNumber > 65535) {
        LOG_LINE << "ERROR: source port is not a UDP port number: " << port_;
        sock_.close();
        return false;
    }

    // Linux delivers multicast only to sockets bound to the group (or to any address); bound
    // to the group and with IP_MULTICAST_ALL off, this socket gets exactly its own stream.
    const std::uint32_t groupAddress = platform::inetAddr(group_);
    const bool multicast = platform::isMulticast(groupAddress);
    sock_.receiveOnlyJoinedGroups();
    if (!sock_.bind(multicast ? groupAddress : platform::anyAddress(),
                    static_cast<std::uint16_t>(*portNumber))) {
        LOG_LINE << "ERROR: bind failed: " << platform::lastSocketError();
        sock_.close();
        return false;
    }
    if (!iface_.empty()) {
        LOG_LINE << "-- used iface for MULTICAST GROUP: " << iface_;
    }
    if (!sock_.joinGroup(groupAddress, ifaceAddress)) {
        LOG_LINE << "ERROR: setsockopt IP_ADD_MEMBERSHIP failed: " << platform::lastSocketError();
        sock_.close();
        return false;
    }
    return true;
}

void LeftServer::fatalStop() {
    platform::consolePause();
    exitWithoutTeardown();
}

void LeftServer::receiveLoop() {
    lastSampleMs_.store(platform::nowMs(), std::memory_order_relaxed);
    RingBufferAdaptive incoming("incoming", kChunkSize, kIncomingChunks);
    std::array<std::uint8_t, kChunkSize> datagramBuffer{};
    std::array<std::uint8_t, kChunkSize> chunk{};
    for (;;) {
        const platform::UdpSocket::Datagram datagram =
            sock_.receive(datagramBuffer.data(), kChunkSize);
        if (datagram.length < 0) {
            stopReceiving();
        }
        handleDatagram(datagramBuffer.data(), datagram, incoming, chunk.data());
    }
}

void LeftServer::handleDatagram(const std::uint8_t* data,
                                const platform::UdpSocket::Datagram& datagram,
                                RingBufferAdaptive& incoming, std::uint8_t* chunk) {
    if (datagram.truncated()) {
        reportOversize(datagram.fullLength);
        return;
    }
    incoming.push(data, datagram.length);
    bytesReceived_.fetch_add(datagram.length, std::memory_order_relaxed);
    while (incoming.pop(chunk)) {
        if (dump_) {
            recorder_.record(chunk, kChunkSize, platform::nowMs());
        }
        rightServer_.broadcast(chunk, kChunkSize);
    }
}

void LeftServer::reportOversize(int fullLength) {
    ++oversizeDropped_;
    const std::int64_t now = platform::nowMs();
    if (oversizeDropped_ == 1 || now - lastOversizeLogMs_ >= kOversizeLogIntervalMs) {
        LOG_LINE << "-- dropped datagram of " << fullLength << " bytes (longer than " << kChunkSize
                 << "), dropped so far: " << oversizeDropped_;
        lastOversizeLogMs_ = now;
    }
}

void LeftServer::stopReceiving() {
    LOG_LINE << "recvfrom failed: " << platform::lastSocketError();
    LOG_LINE << "stop recv from publisher";
    sock_.close();
    platform::socketCleanup();
    lastSampleMs_.store(0, std::memory_order_relaxed);
    recorder_.close();
    exitWithoutTeardown();
}

void LeftServer::sampleInput(const std::string& time, std::int64_t nowMs) {
    const auto elapsed =
        static_cast<std::uint32_t>(nowMs - lastSampleMs_.load(std::memory_order_relaxed));
    lastSampleMs_.store(nowMs, std::memory_order_relaxed);
    const std::int64_t received = bytesReceived_.load(std::memory_order_relaxed);
    const auto delta =
        static_cast<std::uint64_t>(received) - static_cast<std::uint64_t>(bytesAtLastSample_);
    bytesAtLastSample_ = received;
    inputHistory_.add({time, StatsSampler::kbps(delta, elapsed)});
}

} // namespace vandra
