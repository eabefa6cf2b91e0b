#include "web/statuscollector.h"

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
    return status;
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
