#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "srt/srtlistenparams.h"

struct sockaddr;

namespace vandra {

class AccessPolicy;
class HandshakeMonitor;
class ProgramCatalog;

// What the listen hook consults for each connection request; each part may be absent. It
// must outlive the listener.
struct ListenGate {
    HandshakeMonitor* monitor = nullptr; // told of every request and refusal
    // who may connect; a reload swaps it while the listener runs
    const std::atomic<std::shared_ptr<const AccessPolicy>>* policy = nullptr;
    // Callers connected plus requests let through that have not become callers yet.
    std::function<std::size_t()> callersHeld;
    // With programme selection on: what the input carries, for callers that pick a programme.
    const ProgramCatalog* programs = nullptr;
    // Taken by the listen hook around a decision and its watch; before the monitor's own.
    mutable Mutex deciding;
};

// Creates, tunes, binds and listens an SRT socket. Returns its id (> 0), 0 when the address,
// bind, passphrase, hook or listen fails, -1 when the stream id cannot be set. The listen hook
// decides every request through `gate` when one is given.
std::int32_t createSrtListener(const SrtListenParams& params, bool tuneSendBuffers,
                               ListenGate* gate = nullptr);

// `count` listeners on the one address and port, each on its own UDP socket of a SO_REUSEPORT
// group and so with its own libsrt threads, all with the same options and gate. Empty (logged)
// when any of them fails or when another process shares the port.
std::vector<std::int32_t> createSrtListenerGroup(const SrtListenParams& params, std::int32_t count,
                                                 ListenGate* gate);

// srt_setsockopt with a log line on failure; returns whether the option took.
bool setSrtOption(std::int32_t sock, std::int32_t option, const std::string& name,
                  const void* value, std::int32_t length);

// Logs a connection request with the caller's stream id (with a monitor in the ListenGate
// `opaque`, the first of each address in every 10 s), then lets it through or refuses it with
// an SRT reject reason as the gate's access policy says; an admitted user's passphrase is
// set on the new connection, so that libsrt lets only a caller that knows it complete.
int listenCallback(void* opaque, std::int32_t newSocket, int hsVersion, const sockaddr* peer,
                   const char* streamId);

} // namespace vandra
