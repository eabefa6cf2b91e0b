#pragma once

#include "web/serverstatus.h"

namespace vandra {

class LeftServer;
class ProgramCatalog;
class RightServer;

// Takes a ServerStatus from the running server. Thread safe: it reads atomics and copies the
// caller list under the registry's lock, and asks libsrt nothing.
class StatusCollector {
public:
    // `webAuth`: whether the web server asks for a password, which the document shows.
    StatusCollector(const LeftServer& input, const RightServer& callers, bool webAuth = false)
        : input_(input), callers_(callers), webAuth_(webAuth) {}

    ServerStatus collect() const;

private:
    InputStatus collectInput() const;
    AccessStatus collectAccess() const;
    std::vector<ProgramStatus> collectPrograms(const ProgramCatalog& catalog) const;

    const LeftServer& input_;
    const RightServer& callers_;
    const bool webAuth_;
};

} // namespace vandra
