#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "srt/refusalwindow.h"
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
    caller.streamId = "studio-b";
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
    gone.streamId = "#!::r=live";
    gone.createdMs = 1796599000000;
    gone.endedMs = 1796599400000;
    gone.reason = EndReason::FellBehind;
    gone.sentBytes = 5000;
    status.departed.push_back(gone);

    status.callersAccepted = 8;
    status.callersRejected = {{"passphrase", 2}, {"handshake", 1}};
    status.callersDisconnected = {{"closed", 4}, {"lost", 1}, {"fell_behind", 1}, {"error", 0}};
    status.logLinesDropped = 9;
    status.access.maxCallers = 5;
    status.access.networks = {"10.0.0.0/8", "127.0.0.1/32"};
    status.access.users = true;
    status.access.userCount = 3;
    status.access.webAuth = true;
    status.access.refusedRecent = {{"passphrase", 1}, {"handshake", 0}};
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
              R"("stream_id":"studio-b","created":1796599500250,"rtt_ms":0.125,)"
              R"("sent_bytes":1316000,"sent_packets":1000,)"
              R"("retransmitted_packets":12,"lost_packets":10,"dropped_packets":2,)"
              R"("send_buffer_ms":120,"send_rate_mbps":8.25,"bandwidth_mbps":950.5,)"
              R"("backlog_bytes":2632,"bitrate_kbps":8040,"faststart_chunks":338}],)"
              R"("departed":[{"id":99,"remote":"10.0.0.9:4000","user":"",)"
              R"("stream_id":"#!::r=live","created":1796599000000,)"
              R"("ended_ms":1796599400000,"reason":"fell_behind","sent_bytes":5000}],)"
              R"("access":{"max_callers":5,"callers":1,"networks":["10.0.0.0/8","127.0.0.1/32"],)"
              R"("users":true,"user_count":3,"webauth":true,)"
              R"("refused_total":{"passphrase":2,"handshake":1},)"
              R"("refused_recent":{"passphrase":1,"handshake":0},"recent_window_s":600}})");
}

TEST(StatusApi, QuietServerHasNullTimesAndOutsideTextIsEscapedNeverThrown) {
    ServerStatus status;
    status.version = "0.5";
    status.nowMs = 1;
    // A stall flag read just before the input resumed can come without its start time.
    status.input.stalled = true;
    // The rest of an empty document is checked through the route in WebRoutes.
    EXPECT_NE(statusApiJson(status).find(R"("access":{"max_callers":null,"callers":0,)"
                                         R"("networks":[],"users":false,)"),
              std::string::npos);
    const std::string quiet = statusApiJson(status);
    EXPECT_NE(quiet.find(R"("input":{"format":"none",)"), std::string::npos) << quiet;
    EXPECT_NE(quiet.find(R"("stalled":true,"stalled_since_ms":null,"last_datagram_ms":null,)"),
              std::string::npos)
        << quiet;

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

// A refusal counts until the filing before it is 10 minutes old: 9 to 10 minutes, to the minute.
TEST(RefusalWindow, CountsWhatHappenedInTheLastTenMinutes) {
    constexpr std::int64_t kMinute = RefusalWindow::kFilingMs;
    RefusalWindow window;
    EXPECT_EQ(window.recent(0, {2, 0, 0, 0, 0}), (RefusalWindow::Counts{2, 0, 0, 0, 0}))
        << "before the first filing, everything is recent";
    // Two refused before the first filing, then three more in the first minute.
    window.file(3000, {2, 0, 0, 0, 0});
    for (std::int64_t at = 6000; at < kMinute; at += 3000) {
        window.file(at, {2, 0, 0, 0, 0}); // no filing between minutes
    }
    window.file(3000 + kMinute, {5, 1, 0, 0, 0});
    for (int minute = 2; minute <= 10; ++minute) {
        window.file(3000 + minute * kMinute, {5, 1, 0, 4, 0});
    }
    const RefusalWindow::Counts now{5, 1, 0, 4, 0};
    EXPECT_EQ(window.recent(3000 + 10 * kMinute, now), now);
    // To the minute: what was filed in the first minute leaves with the zero filing.
    EXPECT_EQ(window.recent(3001 + 10 * kMinute, now), (RefusalWindow::Counts{0, 0, 0, 4, 0}));
    window.file(3000 + 11 * kMinute, now);
    EXPECT_EQ(window.recent(3001 + 11 * kMinute, now), (RefusalWindow::Counts{}));
    // A sampler held up past the window: counted from its latest filing.
    EXPECT_EQ(window.recent(3000 + 30 * kMinute, {6, 1, 0, 4, 0}),
              (RefusalWindow::Counts{1, 0, 0, 0, 0}));
}

// Every sample in its place, each family with its HELP and TYPE (promtool checks the format
// of a live document end to end).
TEST(Metrics, ExpositionOfAFixedStatus) {
    const platform::ProcessUsage process{12.5, 10485760, 1796599000.25, 17};
    const std::string text = metricsText(busyServer(), process);
    const std::vector<std::string> samples{
        R"(vandra_build_info{version="0.5"} 1)",
        R"(vandra_input_format{format="ts"} 1)",
        R"(vandra_input_format{format="rtp"} 0)",
        R"(vandra_input_bytes_total 1316000)",
        R"(vandra_input_datagrams_total 1000)",
        R"(vandra_input_datagrams_dropped_total{reason="oversize"} 2)",
        R"(vandra_input_ts_sync_errors_total 3)",
        R"(vandra_input_ts_continuity_errors_total 4)",
        R"(vandra_input_stalled 1)",
        R"(vandra_input_stalls_total 1)",
        R"(vandra_input_rtp_lost_packets_total 5)",
        R"(vandra_input_rtp_duplicate_packets_total 6)",
        R"(vandra_input_rtp_reordered_packets_total 7)",
        R"(vandra_callers 1)",
        R"(vandra_callers_backlog_bytes 2632)",
        R"(vandra_callers_accepted_total 8)",
        R"(vandra_callers_rejected_total{reason="passphrase"} 2)",
        R"(vandra_callers_rejected_total{reason="handshake"} 1)",
        R"(vandra_callers_disconnected_total{reason="closed"} 4)",
        R"(vandra_callers_disconnected_total{reason="lost"} 1)",
        R"(vandra_callers_disconnected_total{reason="fell_behind"} 1)",
        R"(vandra_callers_disconnected_total{reason="error"} 0)",
        R"(vandra_config_reloads_total 0)",
        R"(vandra_config_reload_failures_total 0)",
        R"(vandra_caller_sent_bytes_total{id="123456",remote="127.0.0.1:50000"} 1316000)",
        R"(vandra_caller_sent_packets_total{id="123456",remote="127.0.0.1:50000"} 1000)",
        R"(vandra_caller_retransmitted_packets_total{id="123456",remote="127.0.0.1:50000"} 12)",
        R"(vandra_caller_lost_packets_total{id="123456",remote="127.0.0.1:50000"} 10)",
        R"(vandra_caller_dropped_packets_total{id="123456",remote="127.0.0.1:50000"} 2)",
        R"(vandra_caller_rtt_seconds{id="123456",remote="127.0.0.1:50000"} 0.000125)",
        R"(vandra_caller_send_buffer_seconds{id="123456",remote="127.0.0.1:50000"} 0.12)",
        R"(vandra_caller_backlog_bytes{id="123456",remote="127.0.0.1:50000"} 2632)",
        R"(vandra_caller_faststart_chunks{id="123456",remote="127.0.0.1:50000"} 338)",
        R"(vandra_caller_start_time_seconds{id="123456",remote="127.0.0.1:50000"} 1796599500.25)",
        R"(vandra_log_lines_dropped_total 9)",
        R"(process_cpu_seconds_total 12.5)",
        R"(process_resident_memory_bytes 10485760)",
        R"(process_start_time_seconds 1796599000.25)",
        R"(process_open_fds 17)",
    };
    std::size_t at = 0;
    for (const std::string& sample : samples) {
        const std::size_t found = text.find("\n" + sample + "\n", at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << sample << "\n"
                                            << text;
        at = found + 1;
    }
    std::istringstream lines(text);
    int families = 0;
    for (std::string line, previous; std::getline(lines, line); previous = line) {
        if (line.rfind("# TYPE ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(previous.rfind("# HELP " + name + " ", 0), 0u) << line;
            ++families;
        }
    }
    EXPECT_EQ(families, 35);
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
