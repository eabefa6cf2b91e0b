#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "core/chunk.h"
#include "fuzzcheck.h"
#include "ingest/tsinspector.h"

namespace vandra::fuzz {
namespace {

// A plain restatement of the continuity rules, one PID at a time in a map, to hold the
// inspector's fixed-array bookkeeping against.
class ContinuityModel {
public:
    void packet(const std::uint8_t* p) {
        if (p[0] != 0x47) {
            ++sync;
            return;
        }
        const int pid = (p[1] & 0x1F) << 8 | p[2];
        if (pid == 0x1FFF) {
            return;
        }
        const bool payload = (p[3] & 0x10) != 0;
        const bool adaptation = (p[3] & 0x20) != 0;
        const int counter = p[3] & 0x0F;
        if (adaptation && p[4] > 0 && (p[5] & 0x80) != 0) {
            pids_[pid] = payload ? State{counter, 0} : State{};
            return;
        }
        if (!payload) {
            return;
        }
        State& state = pids_[pid];
        if (state.last < 0 || counter == (state.last + 1) % 16) {
            state = {counter, 0};
        } else if (counter == state.last && ++state.repeats == 1) {
            // the one duplicate allowed
        } else {
            ++continuity;
            errorPids.insert(pid);
            if (counter != state.last) {
                state = {counter, 0};
            }
        }
    }

    std::uint64_t sync = 0;
    std::uint64_t continuity = 0;
    std::set<int> errorPids; // since the last report

private:
    struct State {
        int last = -1;
        int repeats = 0;
    };
    std::array<State, 8192> pids_{};
};

void checkReport(const TsInspector::Report& report, ContinuityModel& model,
                 std::uint64_t& syncReported, std::uint64_t& continuityReported) {
    syncReported += report.syncErrors;
    continuityReported += report.continuityErrors;
    require(report.pidCount >= 0 && report.pidCount <= TsInspector::kReportedPids,
            "listed PIDs out of bounds");
    require(report.pidCount + report.morePids == static_cast<int>(model.errorPids.size()),
            "PIDs with errors in the period miscounted");
    require(report.morePids == 0 || report.pidCount == TsInspector::kReportedPids,
            "PIDs left unlisted while there was room");
    std::set<int> listed;
    for (int i = 0; i < report.pidCount; ++i) {
        const int pid = report.pids[static_cast<size_t>(i)];
        require(model.errorPids.count(pid) == 1, "a listed PID had no error in the period");
        require(listed.insert(pid).second, "a PID listed twice");
    }
    require((report.continuityErrors == 0) == model.errorPids.empty(),
            "errors without PIDs or PIDs without errors");
    model.errorPids.clear();
}

} // namespace

void checkInput(const std::uint8_t* data, size_t size) {
    if (size < 1) {
        return;
    }
    // The first byte shapes the rest, so that the fuzzer reaches counters and not only sync
    // errors: bit 0 puts sync bytes in, bit 1 folds the PIDs onto four.
    const std::uint8_t mode = data[0];
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    for (size_t at = 0; at + kTsPacketSize <= bytes.size(); at += kTsPacketSize) {
        if ((mode & 1) != 0) {
            bytes[at] = 0x47;
        }
        if ((mode & 2) != 0) {
            bytes[at + 1] &= 0xE0;
            bytes[at + 2] = static_cast<std::uint8_t>(0x10 + (bytes[at + 2] & 3));
        }
    }
    TsInspector inspector;
    ContinuityModel model;
    std::uint64_t syncReported = 0;
    std::uint64_t continuityReported = 0;
    size_t at = 0;
    for (int chunk = 0; at + kChunkSize <= bytes.size(); at += kChunkSize, ++chunk) {
        inspector.inspectChunk(bytes.data() + at);
        for (int i = 0; i < kPacketsPerChunk; ++i) {
            model.packet(bytes.data() + at + i * kTsPacketSize);
        }
        if (chunk % 3 == 2) {
            checkReport(inspector.takeReport(), model, syncReported, continuityReported);
        }
    }
    for (; at + kTsPacketSize <= bytes.size(); at += kTsPacketSize) {
        inspector.inspectPacket(bytes.data() + at);
        model.packet(bytes.data() + at);
    }
    require(inspector.syncErrors() == model.sync, "sync errors differ from the model");
    require(inspector.continuityErrors() == model.continuity,
            "continuity errors differ from the model");
    require(inspector.hasUnreported() == (inspector.syncErrors() + inspector.continuityErrors() >
                                          syncReported + continuityReported),
            "unreported errors misstated");
    checkReport(inspector.takeReport(), model, syncReported, continuityReported);
    require(syncReported == model.sync && continuityReported == model.continuity,
            "reports do not add up to the totals");
}

} // namespace vandra::fuzz
