#pragma once

#include "web/serverstatus.h"

namespace vandra {

class LeftServer;
class RightServer;

// Takes a ServerStatus from the running server. Thread safe: it reads atomics and copies the
// caller list under the registry's lock, and asks libsrt nothing.
class StatusCollector {
public:
    StatusCollector(const LeftServer& input, const RightServer& callers)
        : input_(input), callers_(callers) {}

    ServerStatus collect() const;

private:
    InputStatus collectInput() const;

    const LeftServer& input_;
    const RightServer& callers_;
};

} // namespace vandra
