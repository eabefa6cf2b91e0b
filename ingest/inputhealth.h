#pragma once

#include <cstdint>
#include <string>

#include "ingest/tsinspector.h"

namespace vandra {

// Checks every received chunk of the input (sync bytes, continuity counters) and tells the
// operator about errors in one line per period: the first error opens a period of
// kReportPeriodMs, at whose end the line is written with the counts and the PIDs, so a broken
// input cannot flood the log. Receiver thread only, except the totals.
class InputHealth {
public:
    static constexpr std::int64_t kReportPeriodMs = 10'000;

    // One chunk of kChunkSize bytes, at `nowMs` on the steady clock.
    void inspect(const std::uint8_t* chunk, std::int64_t nowMs) {
        inspector_.inspectChunk(chunk);
        if (inspector_.hasUnreported()) {
            reportIfDue(nowMs);
        }
    }
    // Also called while no input arrives, so that the last errors are not held back.
    void reportIfDue(std::int64_t nowMs);
    // The stream starts over (it resumed after a stall): its counters owe nothing to the old.
    void restart() { inspector_.forgetCounters(); }

    // Since the start; any thread.
    std::uint64_t syncErrors() const { return inspector_.syncErrors(); }
    std::uint64_t continuityErrors() const { return inspector_.continuityErrors(); }

    // The log line for one period's errors, e.g. "-- input stream in the last 10 s: 3
    // continuity errors on PIDs 256, 257; 1 sync error".
    static std::string reportText(const TsInspector::Report& report);

private:
    TsInspector inspector_;
    std::int64_t periodStartMs_ = -1; // when the first unreported error was seen; -1: none
};

} // namespace vandra
