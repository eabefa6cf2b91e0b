#include "ingest/inputhealth.h"

#include "core/logger.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "inputhealth";

std::string counted(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}
} // namespace

void InputHealth::reportIfDue(std::int64_t nowMs) {
    if (!inspector_.hasUnreported()) {
        return;
    }
    if (periodStartMs_ < 0) {
        periodStartMs_ = nowMs;
        return;
    }
    if (nowMs - periodStartMs_ < kReportPeriodMs) {
        return;
    }
    LOG_LINE << reportText(inspector_.takeReport());
    periodStartMs_ = -1;
}

std::string InputHealth::reportText(const TsInspector::Report& report) {
    std::string text =
        "-- input stream in the last " + std::to_string(kReportPeriodMs / 1000) + " s: ";
    if (report.continuityErrors > 0) {
        text += counted(report.continuityErrors, "continuity error", "continuity errors");
        const bool severalPids = report.pidCount + report.morePids > 1;
        text += severalPids ? " on PIDs " : " on PID ";
        text += report.pidsText();
    }
    if (report.syncErrors > 0) {
        text += report.continuityErrors > 0 ? "; " : "";
        text += counted(report.syncErrors, "sync error", "sync errors");
    }
    return text;
}

} // namespace vandra
