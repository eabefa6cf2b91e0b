#include "web/metrics.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <functional>

namespace vandra {

namespace {
// A number as the format reads it: integers exactly, others in the shortest form that reads
// back to the same double.
std::string numberText(double value) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof(text), value);
    return error == std::errc() ? std::string(text, end) : "NaN";
}
std::string numberText(std::uint64_t value) {
    return std::to_string(value);
}
std::string numberText(std::int64_t value) {
    return std::to_string(value);
}

// Appends families to one text; each family's samples follow its HELP and TYPE lines.
class Exposition {
public:
    explicit Exposition(std::string& out) : out_(out) {}

    void family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    // One sample of the current family; `labels` is empty or `key="escaped value",...`.
    template <typename Number> void sample(const std::string& labels, Number value) {
        out_ += name_;
        if (!labels.empty()) {
            out_ += '{';
            out_ += labels;
            out_ += '}';
        }
        out_ += ' ';
        out_ += numberText(value);
        out_ += '\n';
    }
    template <typename Number>
    void single(const char* name, const char* type, const char* help, Number value) {
        family(name, type, help);
        sample("", value);
    }
    void labelled(const char* name, const char* type, const char* help, const char* label,
                  const LabelledCounts& counts) {
        family(name, type, help);
        for (const auto& [value, count] : counts) {
            sample(labelText(label, value), count);
        }
    }

    static std::string labelText(const char* key, const std::string& value) {
        return std::string(key) + "=\"" + escapeLabelValue(value) + "\"";
    }

private:
    std::string& out_;
    const char* name_ = "";
};

constexpr const char* kCounter = "counter";
constexpr const char* kGauge = "gauge";

void writeInput(Exposition& out, const InputStatus& input) {
    out.family("vandra_input_format", kGauge,
               "Format of the latest input datagram: 1 for it, 0 for the others.");
    for (const char* format : {"ts", "rtp"}) {
        out.sample(Exposition::labelText("format", format), std::uint64_t{input.format == format});
    }
    out.single("vandra_input_bytes_total", kCounter,
               "Bytes of transport stream taken from the input.", input.bytesTotal);
    out.single("vandra_input_datagrams_total", kCounter, "Datagrams received on the input.",
               input.datagramsTotal);
    out.labelled("vandra_input_datagrams_dropped_total", kCounter,
                 "Input datagrams dropped, by reason.", "reason",
                 {{"oversize", input.datagramsDroppedOversize}});
    out.single("vandra_input_ts_sync_errors_total", kCounter,
               "Transport-stream packets without their sync byte.", input.tsSyncErrors);
    out.single("vandra_input_ts_continuity_errors_total", kCounter,
               "Continuity counter errors in the transport stream.", input.tsContinuityErrors);
    out.single("vandra_input_stalled", kGauge,
               "1 while no datagram has arrived for input_timeout ms, else 0.",
               std::uint64_t{input.stalled});
    out.single("vandra_input_stalls_total", kCounter, "Times the input stalled after data came.",
               input.stallsTotal);
    out.single("vandra_input_rtp_lost_packets_total", kCounter,
               "RTP packets of the input that never arrived.", input.rtpLostPackets);
    out.single("vandra_input_rtp_duplicate_packets_total", kCounter,
               "RTP packets of the input that arrived twice (dropped).", input.rtpDuplicatePackets);
    out.single("vandra_input_rtp_reordered_packets_total", kCounter,
               "RTP packets of the input that arrived out of order.", input.rtpReorderedPackets);
}

// Per input, with two inputs only.
void writeInputPaths(Exposition& out, const InputStatus& input) {
    if (input.paths.empty()) {
        return;
    }
    const auto perPath = [&](const char* name, const char* type, const char* help,
                             const std::function<std::uint64_t(const InputPathStatus&)>& value) {
        out.family(name, type, help);
        for (std::size_t index = 0; index < input.paths.size(); ++index) {
            out.sample(Exposition::labelText("input", std::to_string(index + 1)),
                       value(input.paths[index]));
        }
    };
    perPath("vandra_input_path_bytes_total", kCounter, "Bytes received on each input.",
            [](const InputPathStatus& path) { return path.bytesTotal; });
    perPath("vandra_input_path_datagrams_total", kCounter, "Datagrams received on each input.",
            [](const InputPathStatus& path) { return path.datagramsTotal; });
    perPath("vandra_input_path_stalled", kGauge,
            "1 while an input has been silent for failover_timeout ms, else 0.",
            [](const InputPathStatus& path) { return std::uint64_t{path.stalled}; });
    perPath("vandra_input_path_lost_packets_total", kCounter,
            "RTP sequence numbers each merged input did not bring, covered by the other or not.",
            [](const InputPathStatus& path) { return path.lostPackets; });
    perPath("vandra_input_active", kGauge,
            "1 for the input that feeds the callers (merged: each input that delivers), else 0.",
            [](const InputPathStatus& path) { return std::uint64_t{path.active}; });
    out.single("vandra_input_switches_total", kCounter,
               "Times the callers were switched to the other input.", input.switchesTotal);
}

void writeCallerTotals(Exposition& out, const ServerStatus& status) {
    out.single("vandra_callers", kGauge, "SRT callers connected now.",
               std::uint64_t{status.callers.size()});
    std::uint64_t backlog = 0;
    for (const CallerSnapshot& caller : status.callers) {
        backlog += static_cast<std::uint64_t>(std::max(caller.backlogBytes, 0));
    }
    out.single("vandra_callers_backlog_bytes", kGauge,
               "Bytes waiting in all callers' buffers together (bounded by maxbacklog).", backlog);
    out.single("vandra_callers_accepted_total", kCounter, "SRT callers accepted.",
               status.callersAccepted);
    out.labelled("vandra_callers_rejected_total", kCounter,
                 "Connection requests that did not become callers, by reason.", "reason",
                 status.callersRejected);
    out.labelled("vandra_callers_disconnected_total", kCounter, "Callers that left, by reason.",
                 "reason", status.callersDisconnected);
    out.single("vandra_config_reloads_total", kCounter,
               "Re-readings of the access settings on SIGHUP, failed ones included.",
               status.access.reloads);
    out.single("vandra_config_reload_failures_total", kCounter,
               "Re-readings of the access settings that changed nothing because of a fault.",
               status.access.reloadFailures);
    out.single("vandra_config_last_reload_success_timestamp_seconds", kGauge,
               "When the access settings in force were read, the start included.",
               status.access.lastReloadSuccessSeconds);
}

// The spread of callers, and of the bytes sent to them, over the listeners sharing the SRT
// port, every listener listed; only when there are several, so that a plain server's metrics
// stay as they were.
void writeListeners(Exposition& out, const ServerStatus& status) {
    if (status.srtListeners <= 1) {
        return;
    }
    const auto listeners = static_cast<std::size_t>(status.srtListeners);
    std::vector<std::uint64_t> callers(listeners);
    std::vector<std::uint64_t> sentBytes(listeners);
    for (const CallerSnapshot& caller : status.callers) {
        if (caller.listener >= 0 && static_cast<std::size_t>(caller.listener) < listeners) {
            ++callers[static_cast<std::size_t>(caller.listener)];
            sentBytes[static_cast<std::size_t>(caller.listener)] += caller.stats.sentBytes;
        }
    }
    const auto writeFamily = [&](const char* name, const char* help,
                                 const std::vector<std::uint64_t>& values) {
        out.family(name, kGauge, help);
        for (std::size_t i = 0; i < values.size(); ++i) {
            out.sample(Exposition::labelText("listener", std::to_string(i)), values[i]);
        }
    };
    writeFamily("vandra_listener_callers",
                "SRT callers connected now, by the listener on the SRT port that accepted them.",
                callers);
    writeFamily("vandra_listener_sent_bytes",
                "Payload bytes sent so far to the callers connected now, by the listener that "
                "accepted them.",
                sentBytes);
}

// The programmes with callers now; only with programme selection, so that a plain server's
// metrics stay as they were.
void writePrograms(Exposition& out, const ServerStatus& status) {
    if (!status.programSelection) {
        return;
    }
    std::vector<const ProgramFeeds::Figures*> watched;
    for (const ProgramStatus& program : status.programs) {
        if (program.figures.viewers > 0) {
            watched.push_back(&program.figures);
        }
    }
    out.family("vandra_program_callers", kGauge, "SRT callers watching one program, by program.");
    for (const ProgramFeeds::Figures* figures : watched) {
        out.sample(Exposition::labelText("program", std::to_string(figures->number)),
                   std::int64_t{figures->viewers});
    }
    out.family("vandra_program_bitrate_bits", kGauge,
               "Bits per second of one program's feed as each of its callers gets it.");
    for (const ProgramFeeds::Figures* figures : watched) {
        out.sample(Exposition::labelText("program", std::to_string(figures->number)),
                   std::int64_t{figures->kbps} * 1000);
    }
}

// One family with a sample per connected caller.
template <typename Number>
void writePerCaller(Exposition& out, const std::vector<std::string>& labels,
                    const ServerStatus& status, const char* name, const char* type,
                    const char* help, const std::function<Number(const CallerSnapshot&)>& value) {
    out.family(name, type, help);
    for (std::size_t i = 0; i < status.callers.size(); ++i) {
        out.sample(labels[i], value(status.callers[i]));
    }
}

void writeCallers(Exposition& out, const ServerStatus& status) {
    std::vector<std::string> labels;
    labels.reserve(status.callers.size());
    for (const CallerSnapshot& caller : status.callers) {
        std::string label = Exposition::labelText("id", std::to_string(caller.id)) + "," +
                            Exposition::labelText("remote", caller.remote);
        if (!caller.user.empty()) {
            // Two appends: "," + a temporary makes GCC 12 at -O3 warn of a false overlap.
            label += ',';
            label += Exposition::labelText("user", caller.user);
        }
        labels.push_back(std::move(label));
    }
    using Caller = const CallerSnapshot&;
    writePerCaller<std::uint64_t>(out, labels, status, "vandra_caller_sent_bytes_total", kCounter,
                                  "Payload bytes sent to the caller, each once.",
                                  [](Caller c) { return c.stats.sentBytes; });
    const auto count = [](std::int64_t value) {
        return static_cast<std::uint64_t>(value > 0 ? value : 0);
    };
    writePerCaller<std::uint64_t>(out, labels, status, "vandra_caller_sent_packets_total", kCounter,
                                  "Packets sent to the caller, each once.",
                                  [&](Caller c) { return count(c.stats.sentPackets); });
    writePerCaller<std::uint64_t>(out, labels, status, "vandra_caller_retransmitted_packets_total",
                                  kCounter, "Packets sent to the caller again.",
                                  [&](Caller c) { return count(c.stats.retransmittedPackets); });
    writePerCaller<std::uint64_t>(out, labels, status, "vandra_caller_lost_packets_total", kCounter,
                                  "Packets the caller reported lost.",
                                  [&](Caller c) { return count(c.stats.lostPackets); });
    writePerCaller<std::uint64_t>(out, labels, status, "vandra_caller_dropped_packets_total",
                                  kCounter, "Packets dropped for the caller as too late.",
                                  [&](Caller c) { return count(c.stats.droppedPackets); });
    writePerCaller<double>(out, labels, status, "vandra_caller_rtt_seconds", kGauge,
                           "Round-trip time to the caller.",
                           [](Caller c) { return c.stats.rttMs / 1000.0; });
    writePerCaller<double>(out, labels, status, "vandra_caller_send_buffer_seconds", kGauge,
                           "Stream time waiting in the caller's SRT send buffer.",
                           [](Caller c) { return c.stats.sendBufferMs / 1000.0; });
    writePerCaller<std::uint64_t>(out, labels, status, "vandra_caller_backlog_bytes", kGauge,
                                  "Bytes waiting in the server's buffer for the caller.",
                                  [&](Caller c) { return count(c.backlogBytes); });
    writePerCaller<std::uint64_t>(
        out, labels, status, "vandra_caller_faststart_chunks", kGauge,
        "Chunks the caller got from the fast-start cache; 0: started live.",
        [&](Caller c) { return count(c.faststartChunks); });
    writePerCaller<double>(out, labels, status, "vandra_caller_start_time_seconds", kGauge,
                           "When the caller connected, in seconds since 1970.",
                           [](Caller c) { return static_cast<double>(c.createdMs) / 1000.0; });
}

void writeProcess(Exposition& out, const platform::ProcessUsage& process) {
    out.single("process_cpu_seconds_total", kCounter, "Total user and system CPU time spent.",
               process.cpuSeconds);
    out.single("process_resident_memory_bytes", kGauge, "Resident memory size.",
               process.residentBytes);
    out.single("process_start_time_seconds", kGauge,
               "Start time of the process since 1970 in seconds.", process.startTimeSeconds);
    out.single("process_open_fds", kGauge, "Number of open file descriptors.", process.openFds);
}
} // namespace

std::string escapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string metricsText(const ServerStatus& status,
                        const std::optional<platform::ProcessUsage>& process) {
    std::string text;
    text.reserve(4096 + status.callers.size() * 1200);
    Exposition out(text);
    out.family("vandra_build_info", kGauge, "The server's version; the value is always 1.");
    out.sample(Exposition::labelText("version", status.version), std::uint64_t{1});
    writeInput(out, status.input);
    writeInputPaths(out, status.input);
    writeCallerTotals(out, status);
    writeListeners(out, status);
    writePrograms(out, status);
    writeCallers(out, status);
    out.single("vandra_log_lines_dropped_total", kCounter,
               "Log lines dropped because the log output was blocked.", status.logLinesDropped);
    if (process) {
        writeProcess(out, *process);
    }
    return text;
}

} // namespace vandra
