#include "web/statusapi.h"

#include <nlohmann/json.hpp>

#include "srt/refusalwindow.h"

namespace vandra {

namespace {
// Members in the order the document describes them.
using Json = nlohmann::ordered_json;
constexpr std::int64_t kRecentWindowS = RefusalWindow::kWindowMs / 1000;

// A wall-clock time, or null when there is none (0).
Json timeOrNull(std::int64_t wallMs) {
    return wallMs > 0 ? Json(wallMs) : Json(nullptr);
}

// Per input, in the order of source and source2; with two inputs only.
Json inputPathsJson(const InputStatus& input) {
    Json paths = Json::array();
    for (std::size_t index = 0; index < input.paths.size(); ++index) {
        const InputPathStatus& path = input.paths[index];
        paths.push_back({{"input", index + 1},
                         {"bytes_total", path.bytesTotal},
                         {"datagrams_total", path.datagramsTotal},
                         {"stalled", path.stalled},
                         {"active", path.active},
                         {"mode", input.merging ? "merge" : "failover"},
                         {"rtp_lost_packets", path.lostPackets},
                         {"switches_total", input.switchesTotal}});
    }
    return paths;
}

Json inputJson(const InputStatus& input) {
    return Json{
        {"format", input.format},
        {"bytes_total", input.bytesTotal},
        {"datagrams_total", input.datagramsTotal},
        {"datagrams_dropped_oversize", input.datagramsDroppedOversize},
        {"stalled", input.stalled},
        {"stalled_since_ms", input.stalled ? timeOrNull(input.stalledSinceMs) : Json(nullptr)},
        {"last_datagram_ms", timeOrNull(input.lastDatagramMs)},
        {"stalls_total", input.stallsTotal},
        {"ts_sync_errors", input.tsSyncErrors},
        {"ts_continuity_errors", input.tsContinuityErrors},
        {"bitrate_kbps", input.bitrateKbps},
        {"rtp",
         {{"lost_packets", input.rtpLostPackets},
          {"duplicate_packets", input.rtpDuplicatePackets},
          {"reordered_packets", input.rtpReorderedPackets}}},
    };
}

Json callerJson(const CallerSnapshot& caller) {
    const CallerStats& stats = caller.stats;
    return Json{
        {"id", caller.id},
        {"remote", caller.remote},
        {"user", caller.user},
        {"stream_id", caller.streamId},
        {"created", caller.createdMs},
        {"rtt_ms", stats.rttMs},
        {"sent_bytes", stats.sentBytes},
        {"sent_packets", stats.sentPackets},
        {"retransmitted_packets", stats.retransmittedPackets},
        {"lost_packets", stats.lostPackets},
        {"dropped_packets", stats.droppedPackets},
        {"send_buffer_ms", stats.sendBufferMs},
        {"send_rate_mbps", stats.sendRateMbps},
        {"bandwidth_mbps", stats.bandwidthMbps},
        {"backlog_bytes", caller.backlogBytes},
        {"bitrate_kbps", caller.bitrateKbps},
        {"faststart_chunks", caller.faststartChunks},
    };
}

// A PID we do not know yet (ProgramFilter::kNoPid) is null.
Json pidOrNull(std::uint16_t pid) {
    return pid <= 0x1FFF ? Json(pid) : Json(nullptr);
}

Json programJson(const ProgramStatus& program) {
    const ProgramFeeds::Figures& figures = program.figures;
    Json streams = Json::array();
    for (const ProgramFilter::Stream& stream : figures.streams) {
        streams.push_back({{"pid", stream.pid}, {"type", stream.type}});
    }
    return Json{
        {"number", figures.number},
        {"name", program.name.empty() ? Json(nullptr) : Json(program.name)},
        {"in_pat", program.inPat},
        {"pmt_pid", pidOrNull(figures.pmtPid)},
        {"pcr_pid", pidOrNull(figures.pcrPid)},
        {"streams", std::move(streams)},
        {"viewers", figures.viewers},
        {"kbps", figures.kbps},
        {"bytes_total", figures.bytesOut},
        {"null_packets_added", figures.nullPackets},
    };
}

Json departedJson(const DepartedCaller& caller) {
    return Json{
        {"id", caller.id},
        {"remote", caller.remote},
        {"user", caller.user},
        {"stream_id", caller.streamId},
        {"created", caller.createdMs},
        {"ended_ms", caller.endedMs},
        {"reason", endReasonCode(caller.reason)},
        {"sent_bytes", caller.sentBytes},
    };
}
Json countsJson(const LabelledCounts& counts) {
    Json object = Json::object();
    for (const auto& [label, count] : counts) {
        object[label] = count;
    }
    return object;
}

// Settings and counts only: user names and secrets stay in their files.
Json accessJson(const ServerStatus& status) {
    const AccessStatus& access = status.access;
    return Json{
        {"max_callers", access.maxCallers > 0 ? Json(access.maxCallers) : Json(nullptr)},
        {"callers", status.callers.size()},
        {"networks", access.networks},
        {"users", access.users},
        {"user_count", access.userCount},
        {"webauth", access.webAuth},
        {"refused_total", countsJson(status.callersRejected)},
        {"refused_recent", countsJson(access.refusedRecent)},
        {"recent_window_s", kRecentWindowS},
    };
}
} // namespace

std::string statusApiJson(const ServerStatus& status) {
    Json callers = Json::array();
    for (const CallerSnapshot& caller : status.callers) {
        callers.push_back(callerJson(caller));
        if (caller.program != ClientHandler::kWholeInput) {
            callers.back()["program"] = caller.program;
        }
    }
    Json departed = Json::array();
    for (const DepartedCaller& caller : status.departed) {
        departed.push_back(departedJson(caller));
    }
    Json document{
        {"version", status.version},
        {"now_ms", status.nowMs},
        {"srt_latency_ms", status.srtLatencyMs},
        {"input", inputJson(status.input)},
        {"callers", std::move(callers)},
        {"departed", std::move(departed)},
        {"access", accessJson(status)},
    };
    if (!status.input.paths.empty()) {
        document["inputs"] = inputPathsJson(status.input);
    }
    if (status.programSelection) {
        Json programs = Json::array();
        for (const ProgramStatus& program : status.programs) {
            programs.push_back(programJson(program));
        }
        document["programs"] = std::move(programs);
    }
    // Text from outside (a user name, a stream id) may be any bytes: invalid UTF-8 is replaced,
    // never thrown about.
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace vandra
