#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>

#include <httplib.h>

#include "harness.h"

// The server's web port as a script reads it: /metrics, /api/v1/status, on loopback.
namespace vandra::e2e {

using Json = nlohmann::json;

// The body of a 200 answer to GET `path` on 127.0.0.1:`port`; empty when there is none.
inline std::string webBody(int port, const std::string& path, const httplib::Params& params = {}) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    const httplib::Result result = client.Get(path.c_str(), params, httplib::Headers{});
    return result && result->status == 200 ? result->body : "";
}

// The status document, or a null value when there is no valid one.
inline Json statusOf(int webPort) {
    return Json::parse(webBody(webPort, "/api/v1/status"), nullptr, false);
}

// The first status document for which `done` holds (the last one read when the time is up).
inline Json waitForStatus(int webPort, const std::function<bool(const Json&)>& done,
                          std::chrono::milliseconds timeout) {
    Json status;
    waitUntil(
        [&] {
            status = statusOf(webPort);
            return status.is_object() && done(status);
        },
        timeout);
    return status;
}

// The value of one series, e.g. `vandra_callers` or `name{a="b"}`; empty when it is missing.
inline std::optional<double> sampleOf(const std::string& metrics, const std::string& series) {
    const std::string lead = series + " ";
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(lead, 0) == 0) {
            return std::stod(line.substr(lead.size()));
        }
    }
    return std::nullopt;
}

inline std::optional<double> metricOf(int webPort, const std::string& series) {
    return sampleOf(webBody(webPort, "/metrics"), series);
}

} // namespace vandra::e2e
