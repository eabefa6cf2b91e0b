#pragma once

#include <optional>
#include <string>

#include "platform/processusage.h"
#include "web/serverstatus.h"

namespace vandra {

// The Content-Type of the Prometheus text exposition format 0.0.4.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// The document of GET /metrics in the Prometheus text exposition format 0.0.4: every family
// with its HELP and TYPE lines, base units, counters ending in _total. A caller's series are
// labelled with its socket id and address and disappear when it leaves. The process families
// are left out when `process` is empty (not readable).
std::string metricsText(const ServerStatus& status,
                        const std::optional<platform::ProcessUsage>& process);

// A label value as the format requires it: backslash, double quote and line feed escaped.
std::string escapeLabelValue(const std::string& value);

} // namespace vandra
