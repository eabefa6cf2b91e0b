#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "srt/callersnapshot.h"
#include "srt/programfeeds.h"

namespace vandra {

// The input as documents and metrics show it.
// One of two inputs of the stream (source, source2).
struct InputPathStatus {
    std::uint64_t bytesTotal = 0;
    std::uint64_t datagramsTotal = 0;
    bool stalled = false;
    bool active = false;           // feeds the callers
    std::uint64_t lostPackets = 0; // RTP numbers this input did not bring, while merged
};

struct InputStatus {
    std::string format = "none"; // "none", "ts" or "rtp"
    std::uint64_t bytesTotal = 0;
    std::uint64_t datagramsTotal = 0;
    std::uint64_t datagramsDroppedOversize = 0;
    bool stalled = false;
    std::int64_t stalledSinceMs = 0; // wall clock; 0 when not stalled
    std::int64_t lastDatagramMs = 0; // wall clock; 0 before the first datagram
    std::uint64_t stallsTotal = 0;
    std::uint64_t tsSyncErrors = 0;
    std::uint64_t tsContinuityErrors = 0;
    std::int32_t bitrateKbps = 0; // latest sample
    std::uint64_t rtpLostPackets = 0;
    std::uint64_t rtpDuplicatePackets = 0;
    std::uint64_t rtpReorderedPackets = 0;
    std::vector<InputPathStatus> paths; // empty with one input
    std::uint64_t switchesTotal = 0;
    bool merging = false; // two inputs merged rather than switched between
};

// Counts of callers since the start, each with its label ("closed", "passphrase", ...).
using LabelledCounts = std::vector<std::pair<std::string, std::uint64_t>>;

// Who may connect, as the status document shows it: never a name or a secret.
struct AccessStatus {
    std::size_t maxCallers = 0;        // 0: no limit
    std::vector<std::string> networks; // CIDR; empty: every address
    bool users = false;
    std::size_t userCount = 0;
    bool webAuth = false;
    LabelledCounts refusedRecent; // in the last 10 minutes, by reason, every reason listed
    std::uint64_t reloads = 0;    // re-readings of the settings (SIGHUP), failed ones included
    std::uint64_t reloadFailures = 0;
    double lastReloadSuccessSeconds = 0; // the start counts as one; seconds since 1970
};

// A programme of the input: from the PAT (and the SDT's name), with the figures of its filter
// while it has viewers.
struct ProgramStatus {
    std::string name;              // empty when the input names none
    bool inPat = true;             // false: watched, but gone from the PAT
    ProgramFeeds::Figures figures; // number and PMT PID always; the rest while watched
};

// Everything the status document and the metrics show, taken at one moment from the input,
// the registry and the sampler's figures. Plain values, so that the documents are built
// without any lock and can be tested with fixed values.
struct ServerStatus {
    std::string version;
    std::int64_t nowMs = 0; // wall clock
    std::int32_t srtLatencyMs = 0;
    std::int32_t srtListeners = 1; // sharing the SRT port
    InputStatus input;
    std::vector<CallerSnapshot> callers;
    std::vector<DepartedCaller> departed;
    std::uint64_t callersAccepted = 0;
    LabelledCounts callersRejected;     // by reason, every known reason listed
    LabelledCounts callersDisconnected; // by end reason, every known reason listed
    std::uint64_t logLinesDropped = 0;  // while the log output was blocked
    AccessStatus access;
    bool programSelection = false;       // callers may pick a programme
    std::vector<ProgramStatus> programs; // with programme selection, by number
};

} // namespace vandra
