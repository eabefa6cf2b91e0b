#include "web/statuscollector.h"

#include <algorithm>
#include <map>

#include "core/clock.h"
#include "core/logger.h"
#include "ingest/leftserver.h"
#include "srt/rightserver.h"

namespace vandra {

namespace {
constexpr const char* kVersion = VANDRA_VERSION;
constexpr EndReason kEndReasons[] = {EndReason::Closed, EndReason::Lost, EndReason::FellBehind,
                                     EndReason::SendError, EndReason::Withdrawn};
} // namespace

ServerStatus StatusCollector::collect() const {
    ServerStatus status;
    status.version = kVersion;
    status.nowMs = wallMs();
    status.srtLatencyMs = callers_.latencyMs();
    status.srtListeners = callers_.listenerCount();
    status.input = collectInput();
    status.callers = callers_.snapshotCallers();
    status.departed = callers_.departed().recent(status.nowMs);
    const HandshakeMonitor& handshakes = callers_.handshakes();
    status.callersAccepted = handshakes.accepted();
    for (const RefusalReason reason : kRefusalReasons) {
        status.callersRejected.emplace_back(refusalReasonCode(reason), handshakes.refused(reason));
    }
    for (const EndReason reason : kEndReasons) {
        status.callersDisconnected.emplace_back(endReasonCode(reason),
                                                callers_.departed().total(reason));
    }
    status.logLinesDropped = logLinesDropped();
    status.access = collectAccess();
    if (const ProgramCatalog* catalog = callers_.programCatalog()) {
        status.programSelection = true;
        status.programs = collectPrograms(*catalog);
        // Viewers as connected now: a filter also counts those that left until they are reaped.
        for (ProgramStatus& program : status.programs) {
            program.figures.viewers = static_cast<std::int32_t>(
                std::count_if(status.callers.begin(), status.callers.end(),
                              [&program](const CallerSnapshot& caller) {
                                  return caller.program == program.figures.number;
                              }));
        }
    }
    return status;
}

// Every programme of the PAT, and those watched that left it.
std::vector<ProgramStatus> StatusCollector::collectPrograms(const ProgramCatalog& catalog) const {
    std::map<std::uint16_t, ProgramStatus> programs;
    for (const ProgramCatalog::Program& listed : catalog.listing()->programs) {
        ProgramStatus& program = programs[listed.number];
        program.name = listed.name;
        program.figures.number = listed.number;
        program.figures.pmtPid = listed.pmtPid;
        program.figures.pcrPid = ProgramFilter::kNoPid;
    }
    for (const ProgramFeeds::Figures& watched : callers_.programFigures()) {
        const bool listed = programs.count(watched.number) != 0;
        ProgramStatus& program = programs[watched.number];
        program.inPat = listed;
        program.figures = watched;
    }
    std::vector<ProgramStatus> all;
    for (auto& [number, program] : programs) {
        all.push_back(std::move(program));
    }
    return all;
}

AccessStatus StatusCollector::collectAccess() const {
    AccessStatus access;
    access.webAuth = webAuth_;
    if (const std::shared_ptr<const AccessPolicy> policy = callers_.accessPolicy()) {
        access.maxCallers = policy->maxCallers();
        access.networks = policy->allowedNetworks();
        access.users = policy->hasUsers();
        access.userCount = policy->userCount();
        access.reloads = callers_.reloads().reloads();
        access.reloadFailures = callers_.reloads().failures();
        access.lastReloadSuccessSeconds = callers_.reloads().lastSuccessSeconds();
    }
    const RefusalWindow::Counts recent = callers_.recentRefusals();
    for (std::size_t i = 0; i < kRefusalReasons.size(); ++i) {
        access.refusedRecent.emplace_back(refusalReasonCode(kRefusalReasons[i]), recent[i]);
    }
    return access;
}

InputStatus StatusCollector::collectInput() const {
    InputStatus input;
    input.format = inputFormatCode(input_.inputFormat());
    input.bytesTotal = static_cast<std::uint64_t>(input_.bytesReceived());
    input.datagramsTotal = static_cast<std::uint64_t>(input_.datagramsReceived());
    input.datagramsDroppedOversize = static_cast<std::uint64_t>(input_.oversizeDropped());
    const InputMonitor& monitor = input_.monitor();
    input.stalled = monitor.stalled();
    input.stalledSinceMs = input.stalled ? monitor.stalledSinceMs() : 0;
    input.lastDatagramMs = monitor.lastDatagramMs();
    input.stallsTotal = static_cast<std::uint64_t>(monitor.stallsTotal());
    input.tsSyncErrors = input_.health().syncErrors();
    input.tsContinuityErrors = input_.health().continuityErrors();
    input.bitrateKbps = input_.inputHistory().latestKbps();
    const LeftServer::RtpCounters rtp = input_.rtpCounters();
    input.rtpLostPackets = rtp.lost;
    input.rtpDuplicatePackets = rtp.duplicates;
    input.rtpReorderedPackets = rtp.reordered;
    if (input_.hasSecondInput()) {
        for (int path = 0; path < InputSwitch::kPaths; ++path) {
            const LeftServer::PathFigures figures = input_.pathFigures(path);
            input.paths.push_back({static_cast<std::uint64_t>(figures.bytes),
                                   static_cast<std::uint64_t>(figures.datagrams), figures.stalled,
                                   figures.active, figures.lostPackets});
        }
        input.switchesTotal = static_cast<std::uint64_t>(input_.inputSwitches());
        input.merging = input_.merging();
    }
    return input;
}

} // namespace vandra
