#include "srt/srtlistener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <vector>

#include <srt/access_control.h>
#include <srt/srt.h>

#include "core/clock.h"
#include "core/logger.h"
#include "core/utils.h"
#include "ingest/programcatalog.h"
#include "platform/platform.h"
#include "srt/accesspolicy.h"
#include "srt/handshakemonitor.h"
#include "srt/srtsocket.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "utils";

constexpr int kFileType = 1;
constexpr int kFileModeMss = 1052;
constexpr int kSendBufferBytes = 819200;
constexpr int kUdpSendBufferBytes = 6553600;
constexpr int kKeyLength = 16;
// What of a programme the input lacks goes into the log.
constexpr std::size_t kMaxProgramShown = 64;
// Callers that reconnect together after a network blip arrive in a burst; a backlog of one
// would make libsrt refuse most of them. 1024 takes a join storm of several hundred callers
// whole while the accept thread registers them one by one; a pending entry costs libsrt
// a socket's bookkeeping only.
constexpr int kListenBacklog = 1024;

constexpr int kFirstUnprivilegedPort = 1024;

std::string bindFailureReason(const sockaddr_in& address, const std::string& host,
                              int systemError) {
    const std::uint16_t port = ntohs(address.sin_port);
    switch (systemError) {
    case EADDRINUSE: {
        const std::string holder = platform::udpPortHolder(address.sin_addr.s_addr, port);
        return "UDP port " + std::to_string(port) + " is in use" +
               (holder.empty() ? "" : " by " + escapeForLog(holder));
    }
    case EADDRNOTAVAIL:
        return "srt_nic " + escapeForLog(host) + " is not an address of this host";
    case EACCES:
        return port < kFirstUnprivilegedPort
                   ? "permission denied: ports below 1024 need root or CAP_NET_BIND_SERVICE"
                   : "permission denied";
    case 0:
        return "the system gave no reason";
    default:
        return std::strerror(systemError);
    }
}

// libsrt reports every failed bind as one "setup failure"; the errno it keeps beside it is the
// kernel's answer for libsrt's own socket. Read from there rather than from a bind of our own,
// which could meet a port freed or taken in between, or be refused for a reason of its own.
void logBindFailure(const sockaddr_in& address, const std::string& host) {
    int systemError = 0;
    srt_getlasterror(&systemError);
    LOG_LINE << "ERROR: cannot listen on " << escapeForLog(host) << ":" << ntohs(address.sin_port)
             << ": " << bindFailureReason(address, host, systemError);
}

bool setIntOption(std::int32_t sock, SRT_SOCKOPT option, const char* name, int value) {
    return setSrtOption(sock, option, name, &value, sizeof(value));
}

void setTransmissionType(std::int32_t sock, std::int32_t latency) {
    if (latency == 0) {
        setIntOption(sock, SRTO_TRANSTYPE, "SRTO_TRANSTYPE", kFileType);
        setIntOption(sock, SRTO_MSS, "SRTO_MSS", kFileModeMss);
        LOG_LINE << "ttype "
                 << "FILE mode";
        return;
    }
    setIntOption(sock, SRTO_TRANSTYPE, "SRTO_TRANSTYPE", 0);
    setIntOption(sock, SRTO_LATENCY, "SRTO_LATENCY", latency);
    LOG_LINE << "latency " << latency;
    LOG_LINE << "ttype "
             << "LIVE mode";
}

void logBufferSizes(std::int32_t sock) {
    int receiveBuffer = 0;
    int udpSendBuffer = 0;
    int length = sizeof(int);
    const int first = srt_getsockopt(sock, 0, SRTO_RCVBUF, &receiveBuffer, &length);
    length = sizeof(int);
    const int second = srt_getsockopt(sock, 0, SRTO_UDP_SNDBUF, &udpSendBuffer, &length);
    LOG_LINE << first << " SRTO_RCVBUF:" << receiveBuffer << " " << second
             << " SRTO_UDP_SNDBUF:" << udpSendBuffer;
}

// A configured passphrase must never fall back to serving unencrypted.
bool setEncryption(std::int32_t sock, const std::string& passphrase) {
    if (passphrase.empty()) {
        return true;
    }
    const bool passphraseTaken =
        setSrtOption(sock, SRTO_PASSPHRASE, "SRTO_PASSPHRASE", passphrase.data(),
                     static_cast<std::int32_t>(passphrase.size()));
    setIntOption(sock, SRTO_PBKEYLEN, "SRTO_PBKEYLEN", kKeyLength);
    if (!passphraseTaken) {
        LOG_LINE << "-- passphrase refused by SRT (it must be 10 to 79 characters): "
                 << "not serving unencrypted";
    }
    return passphraseTaken;
}

// With a passphrase per user the listener itself has none; a caller that brings none must
// still be refused rather than served in the clear.
bool requireEncryption(std::int32_t sock) {
    const bool enforced = true;
    return setSrtOption(sock, SRTO_ENFORCEDENCRYPTION, "SRTO_ENFORCEDENCRYPTION", &enforced,
                        sizeof(enforced));
}

std::uint32_t ipv4AddressOf(const sockaddr* peer) {
    if (peer == nullptr || peer->sa_family != AF_INET) {
        return 0;
    }
    return reinterpret_cast<const sockaddr_in*>(peer)->sin_addr.s_addr;
}

int refuseRequest(std::int32_t newSocket, const Admission& admission, HandshakeMonitor* monitor,
                  std::int64_t nowMs) {
    if (srt_setrejectreason(newSocket, admission.rejectReason) != 0) {
        LOG_LINE << "-- cannot set reject reason " << admission.rejectReason << ": "
                 << srt_getlasterror_str();
    }
    if (monitor != nullptr) {
        monitor->onRefused(
            newSocket, refusalReasonOf(*admission.refusal),
            admission.why + ", SRT reject reason " + std::to_string(admission.rejectReason), nowMs);
    }
    return -1;
}

// The rules in force, held by the caller for as long as an admission points into them.
std::shared_ptr<const AccessPolicy> currentPolicy(const ListenGate* gate) {
    return gate != nullptr && gate->policy != nullptr ? gate->policy->load() : nullptr;
}

Admission decide(const ListenGate* gate, const AccessPolicy* policy, const sockaddr* peer,
                 std::string_view streamId) {
    if (policy == nullptr) {
        return {};
    }
    const std::size_t held = gate->callersHeld ? gate->callersHeld() : 0;
    return policy->admit(ipv4AddressOf(peer), streamId, held);
}

// A caller that picks a programme ("r") must pick one the input's PAT lists now.
// A user restricted to some programmes must pick one of them.
void checkProgram(const ProgramCatalog& programs, const AccessPolicy* policy,
                  std::string_view streamId, Admission& admission) {
    const std::string wanted = AccessPolicy::programFromStreamId(streamId);
    if (wanted.empty()) {
        return;
    }
    const std::optional<std::uint16_t> number = programs.resolve(wanted);
    if (number && (policy == nullptr || policy->mayWatch(admission.user, *number))) {
        return;
    }
    const std::string user = admission.user;
    admission = Admission{};
    admission.refusal = AccessRefusal::Program;
    if (number) {
        admission.rejectReason = SRT_REJX_FORBIDDEN;
        admission.why = "user " + user + " may not watch program " + std::to_string(*number);
        return;
    }
    admission.rejectReason = SRT_REJX_NOTFOUND;
    admission.why = programs.listing()->hasPat
                        ? "program \"" + wanted.substr(0, kMaxProgramShown) + "\" not in the input"
                        : "no PAT in the input yet";
}

// Decides a request and lets the monitor watch it; `logRequest` says whether its line is due.
// Listeners sharing a port call this from their own threads: counting the callers held and
// watching this request must be one step, or a burst spread over them could pass a limit.
Admission decideAndWatch(const ListenGate* gate, const AccessPolicy* policy, std::int32_t newSocket,
                         const sockaddr* peer, const std::string& streamId, std::int64_t nowMs,
                         bool& logRequest) {
    if (gate == nullptr) {
        return {};
    }
    MutexLock oneAtATime(gate->deciding);
    // Decided before the monitor watches this request, so that it is not counted as held.
    const std::string decoded = AccessPolicy::decodedStreamId(streamId);
    Admission admission = decide(gate, policy, peer, decoded);
    if (!admission.refusal && gate->programs != nullptr) {
        checkProgram(*gate->programs, policy, decoded, admission);
    }
    const std::string keyedUser = admission.passphrase != nullptr ? admission.user : "";
    logRequest =
        gate->monitor == nullptr || gate->monitor->onRequest(newSocket, peer, nowMs, keyedUser);
    return admission;
}

// Marks a listener that binds its own UDP socket, as a single listener always has.
constexpr int kOwnUdpSocket = -1;

// Fills `address` from the listen settings; the host text, empty (logged) when unusable.
std::string listenAddress(const SrtListenParams& params, sockaddr_in& address) {
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(params.port & 0xffff));
    const std::string host = params.srt_nic.empty() ? "0.0.0.0" : params.srt_nic;
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        LOG_LINE << "--fail init_pton FAILED";
        return {};
    }
    return host;
}

// Binds the listener itself, or hands it `udpSocket`, which libsrt then owns and closes with it.
bool bindListener(SRTSOCKET sock, const sockaddr_in& address, const std::string& host,
                  int udpSocket) {
    if (udpSocket == kOwnUdpSocket) {
        if (srt_bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == -1) {
            writeErrorText(std::string("srt_bind: ") + srt_getlasterror_str() + "\n");
            logBindFailure(address, host);
            return false;
        }
        return true;
    }
    if (srt_bind_acquire(sock, udpSocket) == -1) {
        LOG_LINE << "ERROR: cannot listen on " << escapeForLog(host) << ":"
                 << ntohs(address.sin_port) << ": srt_bind_acquire: " << srt_getlasterror_str();
        if (!platform::closeDescriptor(udpSocket)) {
            LOG_LINE << "-- cannot close UDP socket " << udpSocket << ": "
                     << std::strerror(platform::lastSocketError());
        }
        return false;
    }
    return true;
}

int openUdpSocket(const sockaddr_in& address, const std::string& host, bool shared) {
    const int fd =
        platform::openUdpSocket(address.sin_addr.s_addr, ntohs(address.sin_port), shared);
    if (fd < 0) {
        LOG_LINE << "ERROR: cannot listen on " << escapeForLog(host) << ":"
                 << ntohs(address.sin_port) << ": "
                 << bindFailureReason(address, host, platform::lastSocketError());
    }
    return fd;
}

// A plain bind fails while any other socket holds the port, a reuse group of another server of
// this user included, which a bind with SO_REUSEPORT would join instead.
bool portIsFree(const sockaddr_in& address, const std::string& host) {
    const int probe = openUdpSocket(address, host, false);
    if (probe < 0) {
        return false;
    }
    if (!platform::closeDescriptor(probe)) {
        LOG_LINE << "-- cannot close UDP socket " << probe << ": "
                 << std::strerror(platform::lastSocketError());
    }
    return true;
}

// Between the probe and the group's binds another server of this user may have bound its own
// group: with more sockets on the port than this process bound, it shares the port. Checked
// after all are bound, so that of two servers starting together each sees the other (both may
// refuse; neither shares).
bool portIsOnlyOurs(const sockaddr_in& address, const std::string& host, std::size_t ours) {
    const std::uint16_t port = ntohs(address.sin_port);
    const std::size_t bound = platform::udpSocketsOnPort(address.sin_addr.s_addr, port);
    if (bound <= ours) {
        return true;
    }
    const std::string holder = platform::udpPortHolder(address.sin_addr.s_addr, port);
    LOG_LINE << "ERROR: cannot listen on " << escapeForLog(host) << ":" << port << ": UDP port "
             << port << " is in use" << (holder.empty() ? "" : " by " + escapeForLog(holder))
             << " (" << bound << " sockets hold it, " << ours << " of them this server's)";
    return false;
}

std::int32_t listenOn(const SrtListenParams& params, bool tuneSendBuffers, ListenGate* gate,
                      int udpSocket);
} // namespace

bool setSrtOption(std::int32_t sock, std::int32_t option, const std::string& name,
                  const void* value, std::int32_t length) {
    if (srt_setsockopt(sock, 0, static_cast<SRT_SOCKOPT>(option), value, length) < 0) {
        LOG_LINE << "-- failed to set option " << name;
        return false;
    }
    return true;
}

int listenCallback(void* opaque, std::int32_t newSocket, int /*hsVersion*/, const sockaddr* peer,
                   const char* streamId) {
    const auto* gate = static_cast<const ListenGate*>(opaque);
    HandshakeMonitor* monitor = gate != nullptr ? gate->monitor : nullptr;
    const std::string id = streamId != nullptr ? streamId : "";
    // Held for as long as the admission points into the rules.
    const std::shared_ptr<const AccessPolicy> policy = currentPolicy(gate);
    const std::int64_t now = steadyMs();
    bool logRequest = true;
    const Admission admission =
        decideAndWatch(gate, policy.get(), newSocket, peer, id, now, logRequest);
    if (logRequest) {
        // The stream id is the caller's own text: it must not be able to write into the log.
        LOG_LINE << "LISTEN CALLBACK HOOK" << escapeForLog(id);
    }
    const std::string keyedUser = admission.passphrase != nullptr ? admission.user : "";
    if (admission.refusal) {
        return refuseRequest(newSocket, admission, monitor, now);
    }
    if (admission.passphrase != nullptr &&
        !setSrtOption(newSocket, SRTO_PASSPHRASE, "SRTO_PASSPHRASE", admission.passphrase->data(),
                      static_cast<std::int32_t>(admission.passphrase->size()))) {
        if (monitor != nullptr) {
            monitor->onRefused(newSocket, RefusalReason::User,
                               "the passphrase of user " + keyedUser + " was not taken", now);
        }
        return -1;
    }
    return 0;
}

std::int32_t createSrtListener(const SrtListenParams& params, bool tuneSendBuffers,
                               ListenGate* gate) {
    return listenOn(params, tuneSendBuffers, gate, kOwnUdpSocket);
}

std::vector<std::int32_t> createSrtListenerGroup(const SrtListenParams& params, std::int32_t count,
                                                 ListenGate* gate) {
    sockaddr_in address{};
    const std::string host = listenAddress(params, address);
    if (host.empty()) {
        return {};
    }
    if (!portIsFree(address, host)) {
        return {};
    }
    std::vector<SrtSocket> listeners;
    for (std::int32_t i = 0; i < count; ++i) {
        const int udpSocket = openUdpSocket(address, host, true);
        if (udpSocket < 0) {
            return {};
        }
        const std::int32_t listener = listenOn(params, true, gate, udpSocket);
        if (listener <= 0) {
            return {};
        }
        listeners.emplace_back(listener);
    }
    if (!portIsOnlyOurs(address, host, static_cast<std::size_t>(count))) {
        return {};
    }
    std::vector<std::int32_t> sockets;
    for (SrtSocket& listener : listeners) {
        sockets.push_back(listener.release());
    }
    return sockets;
}

namespace {
std::int32_t listenOn(const SrtListenParams& params, bool tuneSendBuffers, ListenGate* gate,
                      int udpSocket) {
    SrtSocket owner(srt_create_socket());
    if (!owner.valid()) {
        LOG_LINE << "-- srt_create_socket failed: " << srt_getlasterror_str();
        return 0;
    }
    const SRTSOCKET sock = owner.get();

    sockaddr_in address{};
    const std::string host = listenAddress(params, address);
    if (host.empty()) {
        return 0;
    }

    setTransmissionType(sock, params.latency);
    if (tuneSendBuffers) {
        setIntOption(sock, SRTO_SNDBUF, "SRTO_SNDBUF", kSendBufferBytes);
        setIntOption(sock, SRTO_UDP_SNDBUF, "SRTO_UDP_SNDBUF", kUdpSendBufferBytes);
    }

    if (!bindListener(sock, address, host, udpSocket)) {
        return 0;
    }
    logBufferSizes(sock);

    if (!params.streamid.empty() &&
        srt_setsockopt(sock, 0, SRTO_STREAMID, params.streamid.data(),
                       static_cast<int>(params.streamid.size())) == -1) {
        LOG_LINE << "set streamid FAILED";
        return -1;
    }
    if (!setEncryption(sock, params.passphrase)) {
        return 0;
    }
    const std::shared_ptr<const AccessPolicy> policy = currentPolicy(gate);
    const bool perUserPassphrases = policy != nullptr && policy->hasUsers();
    if (perUserPassphrases && !requireEncryption(sock)) {
        return 0;
    }
    if (srt_listen_callback(sock, &listenCallback, gate) != 0) {
        LOG_LINE << "-- ERROR SETUP CALLBACK: " << srt_getlasterror_str();
        return 0;
    }
    if (srt_listen(sock, kListenBacklog) == -1) {
        LOG_LINE << "-- ERROR srt_listen: " << srt_getlasterror_str();
        return 0;
    }
    return owner.release();
}
} // namespace

} // namespace vandra
