#pragma once

#include <cstdint>

#include "srt/srtlistenparams.h"

namespace vandra {

// Limits that tests shrink through the environment, so that what a real stream takes many
// seconds to reach happens in one or two. Unset, the server behaves exactly as without them.
// Read once by the start-up, before any thread.
class TestOverrides {
public:
    // Reads the VANDRA_TEST_* variables; logs one line when any is in effect and one for each
    // value that is ignored because it does not convert.
    static TestOverrides fromEnvironment();

    // A caller's backlog cap in bytes (VANDRA_TEST_MAX_BACKLOG_BYTES); 0 keeps the built-in one.
    std::int32_t maxBacklogBytes() const { return maxBacklogBytes_; }
    void applyTo(SrtListenParams& srt) const;

private:
    std::int32_t maxBacklogBytes_ = 0;
};

} // namespace vandra
