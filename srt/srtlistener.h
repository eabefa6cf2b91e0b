#pragma once

#include <cstdint>
#include <string>

#include "srt/srtlistenparams.h"

struct sockaddr;

namespace vandra {

// Creates, tunes, binds and listens an SRT socket. Returns its id (> 0), 0 when the address,
// bind, passphrase, hook or listen fails, -1 when the stream id cannot be set.
std::int32_t createSrtListener(const SrtListenParams& params, bool tuneSendBuffers);

// srt_setsockopt with a log line on failure; returns whether the option took.
bool setSrtOption(std::int32_t sock, std::int32_t option, const std::string& name,
                  const void* value, std::int32_t length);

// Logs every connection request with the caller's stream id and lets it through.
int listenCallback(void* opaque, std::int32_t newSocket, int hsVersion, const sockaddr* peer,
                   const char* streamId);

} // namespace vandra
