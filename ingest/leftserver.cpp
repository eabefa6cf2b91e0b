#include "ingest/leftserver.h"

#include <array>

#include "core/clock.h"
#include "core/logger.h"
#include "core/processexit.h"
#include "core/utils.h"
#include "ingest/rtppacket.h"
#include "platform/platform.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "leftserver";
constexpr int kFatalStatus = -1;
// The receiver wakes at least this often without input, to notice silence.
constexpr int kIdleWakeMs = 20;

// The kernel says only "no such device" for an interface address this host does not have.
void logJoinFailure(const char* option, const std::string& ifaceText, std::uint32_t ifaceAddress) {
    const int error = platform::lastSocketError();
    if (ifaceAddress == platform::anyAddress() || platform::isLocalAddress(ifaceAddress)) {
        LOG_LINE << "ERROR: setsockopt " << option << " failed: " << error;
        return;
    }
    LOG_LINE << "ERROR: interface " << escapeForLog(ifaceText)
             << " is not an address of this host (local addresses: "
             << join(platform::localAddresses(), ", ") << ")";
}
} // namespace

const char* inputFormatCode(InputFormat format) {
    switch (format) {
    case InputFormat::Ts:
        return "ts";
    case InputFormat::Rtp:
        return "rtp";
    case InputFormat::None:
        break;
    }
    return "none";
}

void LeftServer::setParams(const std::string& group, const std::string& port,
                           const std::string& iface, bool dump) {
    group_ = group;
    port_ = port;
    iface_ = iface;
    dump_ = dump;
}

void LeftServer::setSecondInput(const std::string& group, const std::string& port,
                                const std::string& iface, const std::string& sender,
                                std::int64_t failoverTimeoutMs, std::int64_t failbackDelayMs,
                                std::int64_t mergeWindowMs) {
    second_ = {group, port, iface, sender};
    inputSwitch_ = std::make_unique<InputSwitch>(
        failoverTimeoutMs, failbackDelayMs,
        [this](InputSwitch::Change change, int path, const std::string& reason) {
            onSwitchChange(change, path, reason);
        });
    // Merging until a datagram shows that the inputs cannot be merged.
    rtpInput_.enableMerge(mergeWindowMs);
    merging_.store(true, std::memory_order_relaxed);
    for (PathCounters& path : paths_) {
        path.active.store(true, std::memory_order_relaxed);
    }
}

void LeftServer::serve() {
    if (!openSocket(sock_) || !bindAndJoin(sock_, group_, port_, iface_, sender_)) {
        fatalStop();
    }
    if (hasSecondInput() &&
        (!openSocket(secondSock_) ||
         !bindAndJoin(secondSock_, second_.group, second_.port, second_.iface, second_.sender))) {
        fatalStop();
    }
    if (dump_) {
        recorder_.start();
    }
    inputRate_.start(steadyMs());
    monitor_.start(steadyMs(), wallMs());
    if (!hasSecondInput()) {
        receiveLoop(sock_, InputSwitch::kMain);
    }
    {
        MutexLock lock(mergeMutex_);
        inputSwitch_->start(steadyMs());
    }
    secondReceiver_ =
        std::make_unique<std::thread>([this] { receiveLoop(secondSock_, InputSwitch::kBackup); });
    receiveLoop(sock_, InputSwitch::kMain);
}

bool LeftServer::openSocket(platform::UdpSocket& sock) {
    if (!sock.open()) {
        LOG_LINE << "ERROR: socket failed: " << platform::lastSocketError();
        return false;
    }
    if (!sock.setReuseAddress()) {
        LOG_LINE << "ERROR: setsockopt failed: " << platform::lastSocketError();
        sock.close();
        return false;
    }
    tuneReceiveBuffer(sock);
    return true;
}

void LeftServer::tuneReceiveBuffer(platform::UdpSocket& sock) {
    LOG_LINE << "before recv [buffer] to " << sock.receiveBufferSize();
    if (!sock.setReceiveBufferSize(kReceiveBufferBytes)) {
        LOG_LINE << "Error change recv [buffer] " << kReceiveBufferBytes;
        return;
    }
    LOG_LINE << "Ok change recv [buffer] to " << sock.receiveBufferSize();
    // Linux caps the size at net.core.rmem_max and reports twice what it granted. Where we
    // may, go past the cap; otherwise say how, since a small buffer drops input at high rates.
    if (sock.receiveBufferSize() / 2 < kReceiveBufferBytes &&
        !sock.forceReceiveBufferSize(kReceiveBufferBytes)) {
        LOG_LINE << "-- recv buffer granted " << sock.receiveBufferSize() / 2 << " of "
                 << kReceiveBufferBytes << " bytes: raise sysctl net.core.rmem_max to at least "
                 << kReceiveBufferBytes << " to avoid input loss at high bitrates";
    }
}

bool LeftServer::bindAndJoin(platform::UdpSocket& sock, const std::string& group,
                             const std::string& port, const std::string& iface,
                             const std::string& sender) {
    std::uint32_t ifaceAddress = platform::anyAddress();
    if (iface.empty()) {
        LOG_LINE << "-- used iface: ANY ";
    } else {
        LOG_LINE << "-- used iface: " << escapeForLog(iface);
        if (!platform::parseIpv4(iface, ifaceAddress)) {
            LOG_LINE << "ERROR: interface is not an IPv4 address: " << escapeForLog(iface);
            sock.close();
            return false;
        }
    }
    const std::optional<std::int32_t> portNumber = toInt32(port);
    if (!portNumber || *portNumber < 0 || *portNumber > 65535) {
        LOG_LINE << "ERROR: source port is not a UDP port number: " << escapeForLog(port);
        sock.close();
        return false;
    }
    std::uint32_t groupAddress = 0;
    if (!platform::parseIpv4(group, groupAddress)) {
        LOG_LINE << "ERROR: group is not an IPv4 address: " << escapeForLog(group);
        sock.close();
        return false;
    }

    // Linux delivers multicast only to sockets bound to the group (or to any address); bound
    // to the group and with IP_MULTICAST_ALL off, this socket gets exactly its own stream.
    const bool multicast = platform::isMulticast(groupAddress);
    if (!sock.receiveOnlyJoinedGroups()) {
        LOG_LINE << "-- cannot turn IP_MULTICAST_ALL off (" << platform::lastSocketError()
                 << "): other groups on this port may be received too";
    }
    if (!sock.bind(multicast ? groupAddress : platform::anyAddress(),
                   static_cast<std::uint16_t>(*portNumber))) {
        LOG_LINE << "ERROR: bind failed: " << platform::lastSocketError();
        sock.close();
        return false;
    }
    if (!iface.empty()) {
        LOG_LINE << "-- used iface for MULTICAST GROUP: " << escapeForLog(iface);
    }
    if (!join(sock, group, port, iface, sender, groupAddress, ifaceAddress)) {
        sock.close();
        return false;
    }
    if (&sock == &sock_) {
        const std::string senderPart = sender.empty() ? "" : sender + "@";
        monitor_.setSource("udp://" + senderPart + group + ":" + port,
                           platform::interfaceTowards(groupAddress, ifaceAddress));
    }
    if (!sock.setReceiveTimeout(kIdleWakeMs)) {
        LOG_LINE << "-- cannot set a receive time-out (" << platform::lastSocketError()
                 << "): a silent input will not be noticed";
    }
    return true;
}

// Any-source, or source-specific when a sender is set; the kernel filters the senders either way.
bool LeftServer::join(platform::UdpSocket& sock, const std::string& group, const std::string& port,
                      const std::string& iface, const std::string& sender,
                      std::uint32_t groupAddress, std::uint32_t ifaceAddress) {
    if (sender.empty()) {
        if (!sock.joinGroup(groupAddress, ifaceAddress)) {
            logJoinFailure("IP_ADD_MEMBERSHIP", iface, ifaceAddress);
            return false;
        }
        return true;
    }
    std::uint32_t senderAddress = 0;
    if (!platform::parseIpv4(sender, senderAddress)) {
        LOG_LINE << "ERROR: source is not an IPv4 address: " << escapeForLog(sender);
        return false;
    }
    if (!sock.joinSource(groupAddress, senderAddress, ifaceAddress)) {
        logJoinFailure("IP_ADD_SOURCE_MEMBERSHIP", iface, ifaceAddress);
        return false;
    }
    LOG_LINE << "-- source-specific join: taking " << escapeForLog(group) << ":"
             << escapeForLog(port) << " from " << escapeForLog(sender) << " only";
    return true;
}

void LeftServer::fatalStop() {
    pauseConsole();
    exitProcess(kFatalStatus);
}

void LeftServer::receiveLoop(platform::UdpSocket& sock, int path) {
    const bool switched = hasSecondInput();
    // Big enough for an RTP datagram around a whole chunk; a raw datagram longer than a chunk
    // is still dropped, in handleRaw.
    std::array<std::uint8_t, RtpPacket::kMaxDatagramSize> datagram{};
    for (;;) {
        const platform::UdpSocket::Datagram received =
            sock.receive(datagram.data(), static_cast<int>(datagram.size()));
        if (received.timedOut) {
            switched ? handlePathIdle(steadyMs()) : handleIdle(steadyMs());
            continue;
        }
        if (received.length < 0) {
            stopReceiving(sock);
        }
        if (switched) {
            handlePathDatagram(path, datagram.data(), received.length, received.fullLength,
                               steadyMs());
        } else {
            handleDatagram(datagram.data(), received.length, received.fullLength);
        }
    }
}

void LeftServer::handlePathDatagram(int path, const std::uint8_t* data, int length, int fullLength,
                                    std::int64_t nowMs) {
    PathCounters& counters = paths_[path];
    counters.datagrams.fetch_add(1, std::memory_order_relaxed);
    counters.bytes.fetch_add(fullLength, std::memory_order_relaxed);
    MutexLock lock(mergeMutex_);
    const bool fromActive = inputSwitch_->onDatagram(path, nowMs);
    const std::span<const std::uint8_t> datagram(data, static_cast<std::size_t>(length));
    if (merging() && fullLength > 0 && !RtpPacket::isRtp(datagram)) {
        fallBackToFailover("-- input " + std::to_string(path + 1) +
                           " carries raw transport stream: failover between the inputs");
    }
    if (merging() || fromActive) {
        takeDatagram(path, data, length, fullLength, nowMs);
    }
    if (merging() && rtpInput_.mergeMismatched()) {
        fallBackToFailover("-- inputs 1 and 2 do not carry the same stream (" +
                           rtpInput_.mismatchReason() + "): failover between them");
    }
}

// From merging to switching, once: the input the switch chose feeds the callers from now on.
void LeftServer::fallBackToFailover(const std::string& why) {
    merging_.store(false, std::memory_order_relaxed);
    const int active = inputSwitch_->active();
    LOG_LINE << why << ", input " << active + 1 << " feeds the callers";
    if (rtpInput_.counters().delivered > 0) {
        startStreamAfresh();
    }
    for (int index = 0; index < InputSwitch::kPaths; ++index) {
        paths_[index].active.store(index == active, std::memory_order_relaxed);
    }
}

void LeftServer::handlePathIdle(std::int64_t nowMs) {
    MutexLock lock(mergeMutex_);
    inputSwitch_->onIdle(nowMs);
    handleIdle(nowMs);
}

// Under mergeMutex_, from inside the switch.
void LeftServer::onSwitchChange(InputSwitch::Change change, int path, const std::string& reason) {
    const int number = path + 1;
    switch (change) {
    case InputSwitch::Change::PathDown:
    case InputSwitch::Change::PathUp: {
        const bool down = change == InputSwitch::Change::PathDown;
        paths_[path].stalled.store(down, std::memory_order_relaxed);
        if (merging()) {
            paths_[path].active.store(!down, std::memory_order_relaxed); // every live path feeds
        }
        LOG_LINE << "-- input " << number << (down ? " down: " : " up: ") << reason;
        return;
    }
    case InputSwitch::Change::Switched:
        if (merging()) {
            return; // both paths feed the merge: nothing to switch
        }
        break;
    }
    const std::int32_t dropped = incoming_.available();
    startStreamAfresh();
    for (int index = 0; index < InputSwitch::kPaths; ++index) {
        paths_[index].active.store(index == path, std::memory_order_relaxed);
    }
    const std::int64_t switches = switches_.fetch_add(1, std::memory_order_relaxed) + 1;
    LOG_LINE << "-- input switched to " << number << ": " << reason << "; dropped " << dropped
             << " bytes of the other input's unfinished chunk, switches so far: " << switches;
}

// The next datagram comes from the other input: its bytes must not complete a chunk of the old
// one, its continuity counters owe nothing to the old ones, and fast start waits for its key
// frame.
void LeftServer::startStreamAfresh() {
    incoming_.clear();
    health_.restart();
    format_.store(InputFormat::None, std::memory_order_relaxed);
    sink_.restartStream();
}

LeftServer::PathFigures LeftServer::pathFigures(int path) const {
    const PathCounters& counters = paths_[path];
    return {counters.bytes.load(std::memory_order_relaxed),
            counters.datagrams.load(std::memory_order_relaxed),
            counters.stalled.load(std::memory_order_relaxed),
            counters.active.load(std::memory_order_relaxed),
            rtpInput_.counters().pathLost[static_cast<std::size_t>(path)]};
}

void LeftServer::handleDatagram(const std::uint8_t* data, int length, int fullLength) {
    handleDatagram(data, length, fullLength, steadyMs());
}

void LeftServer::handleDatagram(const std::uint8_t* data, int length, int fullLength,
                                std::int64_t nowMs) {
    takeDatagram(InputSwitch::kMain, data, length, fullLength, nowMs);
}

void LeftServer::takeDatagram(int path, const std::uint8_t* data, int length, int fullLength,
                              std::int64_t nowMs) {
    datagrams_.fetch_add(1, std::memory_order_relaxed);
    receiveNowMs_ = nowMs;
    const bool resumed = monitor_.stalled();
    monitor_.onDatagram(nowMs, wallMs());
    if (resumed) {
        health_.restart();
    }
    if (fullLength == 0) {
        return; // carries nothing, not even a format
    }
    // Only the first byte decides, so a datagram cut at the buffer is still counted by format.
    const std::span<const std::uint8_t> datagram(data, static_cast<std::size_t>(length));
    const bool rtp = RtpPacket::isRtp(datagram);
    (rtp ? rtpDatagrams_ : tsDatagrams_).fetch_add(1, std::memory_order_relaxed);
    if (fullLength > length) {
        reportOversize(fullLength, nowMs);
    } else if (rtp) {
        if (merging() ? rtpInput_.takeFrom(path, datagram, nowMs)
                      : rtpInput_.take(datagram, nowMs)) {
            noteFormatTaken(InputFormat::Rtp, nowMs);
        }
    } else {
        handleRaw(data, length, nowMs);
    }
    // With raw datagrams mixed in, idle wakes may never come.
    rtpInput_.tick(nowMs);
}

void LeftServer::handleIdle(std::int64_t nowMs) {
    receiveNowMs_ = nowMs;
    monitor_.onIdle(nowMs);
    health_.reportIfDue(nowMs);
    rtpInput_.tick(nowMs);
    sink_.idle(nowMs);
}

void LeftServer::handleRaw(const std::uint8_t* data, int length, std::int64_t nowMs) {
    if (length > kChunkSize) {
        reportOversize(length, nowMs);
        return;
    }
    noteFormatTaken(InputFormat::Ts, nowMs);
    takeTransportStream(data, length);
}

// Raw datagrams and RTP payloads alike: the bytes are the transport stream.
void LeftServer::takeTransportStream(const std::uint8_t* data, int length) {
    incoming_.push(data, length);
    bytesReceived_.fetch_add(length, std::memory_order_relaxed);
    while (incoming_.pop(chunk_.data())) {
        health_.inspect(chunk_.data(), receiveNowMs_);
        if (dump_) {
            recorder_.record(chunk_.data(), kChunkSize);
        }
        sink_.broadcast(chunk_.data(), kChunkSize);
    }
}

void LeftServer::reportOversize(int fullLength, std::int64_t nowMs) {
    const std::int64_t dropped = oversizeDropped_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (oversizeLog_.allow(nowMs)) {
        LOG_LINE << "-- dropped datagram of " << fullLength << " bytes (longer than " << kChunkSize
                 << "), dropped so far: " << dropped;
    }
}

// Dropped datagrams leave the format alone: a stray one must not read as a second sender.
void LeftServer::noteFormatTaken(InputFormat format, std::int64_t nowMs) {
    const InputFormat previous = format_.load(std::memory_order_relaxed);
    if (format == previous) {
        return;
    }
    format_.store(format, std::memory_order_relaxed);
    if (previous == InputFormat::None) {
        LOG_LINE << "-- input format: " << inputFormatCode(format);
        return;
    }
    ++formatChanges_;
    if (formatLog_.allow(nowMs)) {
        LOG_LINE << "-- input format changed to " << inputFormatCode(format)
                 << ", changes so far: " << formatChanges_
                 << " (raw and RTP datagrams on one group: one sender per group is expected)";
    }
}

void LeftServer::stopReceiving(platform::UdpSocket& sock) {
    LOG_LINE << "recvfrom failed: " << platform::lastSocketError();
    LOG_LINE << "stop recv from publisher";
    sock.close();
    exitProcess(kFatalStatus);
}

void LeftServer::sampleInput(const std::string& time, std::int64_t steadyMs) {
    const auto total = static_cast<std::uint64_t>(bytesReceived_.load(std::memory_order_relaxed));
    inputHistory_.add({time, inputRate_.sample(total, steadyMs)});
}

} // namespace vandra
