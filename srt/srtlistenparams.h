#pragma once

#include <cstdint>
#include <string>

#include "srt/accesspolicy.h"

namespace vandra {

// The SRT side's settings, converted once by the start-up.
struct SrtListenParams {
    std::string srt_nic;      // interface to bind; empty means 0.0.0.0
    std::int32_t port = 0;    // low 16 bits are used
    std::int32_t latency = 0; // ms; 0 selects the file transmission type
    std::string streamid;     // empty means not set
    std::string passphrase;   // empty means no encryption (or one per user, see access)
    AccessPolicy access;      // who may connect; empty admits everyone
    // A caller's backlog cap in bytes; 0 keeps ClientHandler's own.
    std::int32_t maxBacklogBytes = 0;
    // Listeners sharing the port, each with its own libsrt send and receive threads; 1 is one
    // plain listener.
    std::int32_t listeners = 1;
};

} // namespace vandra
