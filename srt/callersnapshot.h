#pragma once

#include <cstdint>
#include <string>

#include "srt/clienthandler.h"

namespace vandra {

// One connected caller as documents and metrics show it: copied under the registry's lock, so
// that nothing is read from libsrt or from a caller while a document is built.
struct CallerSnapshot {
    std::int32_t id = 0;        // SRT socket id
    std::string remote;         // "ip:port"
    std::string user;           // empty unless per-user access names one
    std::string streamId;       // as the caller sent it, unescaped; may be empty
    std::int64_t createdMs = 0; // wall clock, ms since 1970
    CallerStats stats;          // the sampler's latest reading
    std::int32_t backlogBytes = 0;
    std::int32_t bitrateKbps = 0; // latest sample
    std::int32_t faststartChunks = 0;
    std::int32_t listener = 0; // which listener on the SRT port accepted it
    std::int32_t program = ClientHandler::kWholeInput;
};

// A caller that has left.
struct DepartedCaller {
    std::int32_t id = 0;
    std::string remote;
    std::string user;
    std::string streamId;
    std::int64_t createdMs = 0;
    std::int64_t endedMs = 0;
    EndReason reason = EndReason::None;
    std::uint64_t sentBytes = 0;
};

} // namespace vandra
