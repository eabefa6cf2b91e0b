#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "web/metrics.h"
#include "web/statusapi.h"

namespace vandra {
namespace {

// A server with input trouble, one caller connected and one gone: every member has a value of
// its own, so that a swapped or misnamed one shows.
ServerStatus busyServer() {
    ServerStatus status;
    status.version = "0.5";
    status.nowMs = 1796599547123;
    status.srtLatencyMs = 500;
    InputStatus& input = status.input;
    input.format = "ts";
    input.bytesTotal = 1316000;
    input.datagramsTotal = 1000;
    input.datagramsDroppedOversize = 2;
    input.stalled = true;
    input.stalledSinceMs = 1796599540000;
    input.lastDatagramMs = 1796599538000;
    input.stallsTotal = 1;
    input.tsSyncErrors = 3;
    input.tsContinuityErrors = 4;
    input.bitrateKbps = 7812;
    input.rtpLostPackets = 5;
    input.rtpDuplicatePackets = 6;
    input.rtpReorderedPackets = 7;

    CallerSnapshot caller;
    caller.id = 123456;
    caller.remote = "127.0.0.1:50000";
    caller.createdMs = 1796599500250;
    caller.stats.rttMs = 0.125;
    caller.stats.sentBytes = 1316000;
    caller.stats.sentPackets = 1000;
    caller.stats.retransmittedPackets = 12;
    caller.stats.lostPackets = 10;
    caller.stats.droppedPackets = 2;
    caller.stats.sendBufferMs = 120;
    caller.stats.sendRateMbps = 8.25;
    caller.stats.bandwidthMbps = 950.5;
    caller.backlogBytes = 2632;
    caller.bitrateKbps = 8040;
    caller.faststartChunks = 338;
    status.callers.push_back(caller);

    DepartedCaller gone;
    gone.id = 99;
    gone.remote = "10.0.0.9:4000";
    gone.createdMs = 1796599000000;
    gone.endedMs = 1796599400000;
    gone.reason = EndReason::FellBehind;
    gone.sentBytes = 5000;
    status.departed.push_back(gone);

    status.callersAccepted = 8;
    status.callersRejected = {{"passphrase", 2}, {"handshake", 1}};
    status.callersDisconnected = {{"closed", 4}, {"lost", 1}, {"fell_behind", 1}, {"error", 0}};
    return status;
}

TEST(StatusApi, DocumentHasEveryMemberInItsPlace) {
    EXPECT_EQ(statusApiJson(busyServer()),
              R"({"version":"0.5","now_ms":1796599547123,"srt_latency_ms":500,)"
              R"("input":{"format":"ts","bytes_total":1316000,"datagrams_total":1000,)"
              R"("datagrams_dropped_oversize":2,"stalled":true,"stalled_since_ms":1796599540000,)"
              R"("last_datagram_ms":1796599538000,"stalls_total":1,"ts_sync_errors":3,)"
              R"("ts_continuity_errors":4,"bitrate_kbps":7812,)"
              R"("rtp":{"lost_packets":5,"duplicate_packets":6,"reordered_packets":7}},)"
              R"("callers":[{"id":123456,"remote":"127.0.0.1:50000","user":"",)"
              R"("created":1796599500250,"rtt_ms":0.125,"sent_bytes":1316000,"sent_packets":1000,)"
              R"("retransmitted_packets":12,"lost_packets":10,"dropped_packets":2,)"
              R"("send_buffer_ms":120,"send_rate_mbps":8.25,"bandwidth_mbps":950.5,)"
              R"("backlog_bytes":2632,"bitrate_kbps":8040,"faststart_chunks":338}],)"
              R"("departed":[{"id":99,"remote":"10.0.0.9:4000","user":"","created":1796599000000,)"
              R"("ended_ms":1796599400000,"reason":"fell_behind","sent_bytes":5000}]})");
}

TEST(StatusApi, QuietServerHasNullTimesAndOutsideTextIsEscapedNeverThrown) {
    ServerStatus status;
    status.version = "0.5";
    status.nowMs = 1;
    // A stall flag read just before the input resumed can come without its start time.
    status.input.stalled = true;
    EXPECT_EQ(statusApiJson(status),
              R"({"version":"0.5","now_ms":1,"srt_latency_ms":0,"input":{"format":"none",)"
              R"("bytes_total":0,"datagrams_total":0,"datagrams_dropped_oversize":0,)"
              R"("stalled":true,"stalled_since_ms":null,"last_datagram_ms":null,)"
              R"("stalls_total":0,"ts_sync_errors":0,"ts_continuity_errors":0,"bitrate_kbps":0,)"
              R"("rtp":{"lost_packets":0,"duplicate_packets":0,"reordered_packets":0}},)"
              R"("callers":[],"departed":[]})");

    CallerSnapshot caller;
    caller.user = "a\"b\\c\n\xff";
    status.callers.push_back(caller);
    const std::string text = statusApiJson(status);
    EXPECT_NE(text.find(R"("user":"a\"b\\c\n)"
                        "\xef\xbf\xbd"
                        R"(")"),
              std::string::npos)
        << text;
}

TEST(Metrics, ExpositionOfAFixedStatus) {
    const platform::ProcessUsage process{12.5, 10485760, 1796599000.25, 17};
    EXPECT_EQ(metricsText(busyServer(), process),
              R"(# HELP vandra_build_info The server's version; the value is always 1.
# TYPE vandra_build_info gauge
vandra_build_info{version="0.5"} 1
# HELP vandra_input_format Format of the latest input datagram: 1 for it, 0 for the others.
# TYPE vandra_input_format gauge
vandra_input_format{format="ts"} 1
vandra_input_format{format="rtp"} 0
# HELP vandra_input_bytes_total Bytes of transport stream taken from the input.
# TYPE vandra_input_bytes_total counter
vandra_input_bytes_total 1316000
# HELP vandra_input_datagrams_total Datagrams received on the input.
# TYPE vandra_input_datagrams_total counter
vandra_input_datagrams_total 1000
# HELP vandra_input_datagrams_dropped_total Input datagrams dropped, by reason.
# TYPE vandra_input_datagrams_dropped_total counter
vandra_input_datagrams_dropped_total{reason="oversize"} 2
# HELP vandra_input_ts_sync_errors_total Transport-stream packets without their sync byte.
# TYPE vandra_input_ts_sync_errors_total counter
vandra_input_ts_sync_errors_total 3
# HELP vandra_input_ts_continuity_errors_total Continuity counter errors in the transport stream.
# TYPE vandra_input_ts_continuity_errors_total counter
vandra_input_ts_continuity_errors_total 4
# HELP vandra_input_stalled 1 while no datagram has arrived for input_timeout ms, else 0.
# TYPE vandra_input_stalled gauge
vandra_input_stalled 1
# HELP vandra_input_stalls_total Times the input stalled after data came.
# TYPE vandra_input_stalls_total counter
vandra_input_stalls_total 1
# HELP vandra_input_rtp_lost_packets_total RTP packets of the input that never arrived.
# TYPE vandra_input_rtp_lost_packets_total counter
vandra_input_rtp_lost_packets_total 5
# HELP vandra_input_rtp_duplicate_packets_total RTP packets of the input that arrived twice (dropped).
# TYPE vandra_input_rtp_duplicate_packets_total counter
vandra_input_rtp_duplicate_packets_total 6
# HELP vandra_input_rtp_reordered_packets_total RTP packets of the input that arrived out of order.
# TYPE vandra_input_rtp_reordered_packets_total counter
vandra_input_rtp_reordered_packets_total 7
# HELP vandra_callers SRT callers connected now.
# TYPE vandra_callers gauge
vandra_callers 1
# HELP vandra_callers_backlog_bytes Bytes waiting in all callers' buffers together (bounded by maxbacklog).
# TYPE vandra_callers_backlog_bytes gauge
vandra_callers_backlog_bytes 2632
# HELP vandra_callers_accepted_total SRT callers accepted.
# TYPE vandra_callers_accepted_total counter
vandra_callers_accepted_total 8
# HELP vandra_callers_rejected_total Connection requests that did not become callers, by reason.
# TYPE vandra_callers_rejected_total counter
vandra_callers_rejected_total{reason="passphrase"} 2
vandra_callers_rejected_total{reason="handshake"} 1
# HELP vandra_callers_disconnected_total Callers that left, by reason.
# TYPE vandra_callers_disconnected_total counter
vandra_callers_disconnected_total{reason="closed"} 4
vandra_callers_disconnected_total{reason="lost"} 1
vandra_callers_disconnected_total{reason="fell_behind"} 1
vandra_callers_disconnected_total{reason="error"} 0
# HELP vandra_caller_sent_bytes_total Payload bytes sent to the caller, each once.
# TYPE vandra_caller_sent_bytes_total counter
vandra_caller_sent_bytes_total{id="123456",remote="127.0.0.1:50000"} 1316000
# HELP vandra_caller_sent_packets_total Packets sent to the caller, each once.
# TYPE vandra_caller_sent_packets_total counter
vandra_caller_sent_packets_total{id="123456",remote="127.0.0.1:50000"} 1000
# HELP vandra_caller_retransmitted_packets_total Packets sent to the caller again.
# TYPE vandra_caller_retransmitted_packets_total counter
vandra_caller_retransmitted_packets_total{id="123456",remote="127.0.0.1:50000"} 12
# HELP vandra_caller_lost_packets_total Packets the caller reported lost.
# TYPE vandra_caller_lost_packets_total counter
vandra_caller_lost_packets_total{id="123456",remote="127.0.0.1:50000"} 10
# HELP vandra_caller_dropped_packets_total Packets dropped for the caller as too late.
# TYPE vandra_caller_dropped_packets_total counter
vandra_caller_dropped_packets_total{id="123456",remote="127.0.0.1:50000"} 2
# HELP vandra_caller_rtt_seconds Round-trip time to the caller.
# TYPE vandra_caller_rtt_seconds gauge
vandra_caller_rtt_seconds{id="123456",remote="127.0.0.1:50000"} 0.000125
# HELP vandra_caller_send_buffer_seconds Stream time waiting in the caller's SRT send buffer.
# TYPE vandra_caller_send_buffer_seconds gauge
vandra_caller_send_buffer_seconds{id="123456",remote="127.0.0.1:50000"} 0.12
# HELP vandra_caller_backlog_bytes Bytes waiting in the server's buffer for the caller.
# TYPE vandra_caller_backlog_bytes gauge
vandra_caller_backlog_bytes{id="123456",remote="127.0.0.1:50000"} 2632
# HELP vandra_caller_faststart_chunks Chunks the caller got from the fast-start cache; 0: started live.
# TYPE vandra_caller_faststart_chunks gauge
vandra_caller_faststart_chunks{id="123456",remote="127.0.0.1:50000"} 338
# HELP vandra_caller_start_time_seconds When the caller connected, in seconds since 1970.
# TYPE vandra_caller_start_time_seconds gauge
vandra_caller_start_time_seconds{id="123456",remote="127.0.0.1:50000"} 1796599500.25
# HELP process_cpu_seconds_total Total user and system CPU time spent.
# TYPE process_cpu_seconds_total counter
process_cpu_seconds_total 12.5
# HELP process_resident_memory_bytes Resident memory size.
# TYPE process_resident_memory_bytes gauge
process_resident_memory_bytes 10485760
# HELP process_start_time_seconds Start time of the process since 1970 in seconds.
# TYPE process_start_time_seconds gauge
process_start_time_seconds 1796599000.25
# HELP process_open_fds Number of open file descriptors.
# TYPE process_open_fds gauge
process_open_fds 17
)");
}

// Guards: series of callers that left, families dropped with their last series (a family
// must stay, with its HELP and TYPE, when it has no samples), unescaped label values.
TEST(Metrics, CallerFamiliesFollowTheCallersAndLabelsAreEscaped) {
    ServerStatus status = busyServer();
    status.callers.clear();
    const std::string none = metricsText(status, std::nullopt);
    EXPECT_EQ(none.find("{id="), std::string::npos) << none;
    EXPECT_NE(none.find("vandra_callers 0\n"), std::string::npos) << none;
    EXPECT_NE(none.find("# TYPE vandra_caller_rtt_seconds gauge\n# HELP"), std::string::npos);
    EXPECT_EQ(none.find("process_"), std::string::npos) << none;

    CallerSnapshot odd;
    odd.id = -7;
    odd.remote = "a\"b\\c\nd";
    status.callers.push_back(odd);
    const std::string text = metricsText(status, std::nullopt);
    EXPECT_NE(text.find("vandra_caller_backlog_bytes{id=\"-7\",remote=\"a\\\"b\\\\c\\nd\"} 0\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(escapeLabelValue("plain 127.0.0.1:1"), "plain 127.0.0.1:1");
}

} // namespace
} // namespace vandra
