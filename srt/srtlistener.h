#pragma once

#include <cstdint>
#include <string>

#include "srt/srtlistenparams.h"

struct sockaddr;

namespace vandra {

class HandshakeMonitor;

// Creates, tunes, binds and listens an SRT socket. Returns its id (> 0), 0 when the address,
// bind, passphrase, hook or listen fails, -1 when the stream id cannot be set. The listen hook
// reports every request to `monitor` when one is given.
std::int32_t createSrtListener(const SrtListenParams& params, bool tuneSendBuffers,
                               HandshakeMonitor* monitor = nullptr);

// srt_setsockopt with a log line on failure; returns whether the option took.
bool setSrtOption(std::int32_t sock, std::int32_t option, const std::string& name,
                  const void* value, std::int32_t length);

// Logs a connection request with the caller's stream id (with a monitor as `opaque`, the
// first of each address in every 10 s) and lets it through.
int listenCallback(void* opaque, std::int32_t newSocket, int hsVersion, const sockaddr* peer,
                   const char* streamId);

} // namespace vandra
