#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "harness.h"
#include "rawhttp.h"
#include "statusprobe.h"

// The server's web port as a script reads it: /metrics, /api/v1/status, on loopback.
namespace vandra::e2e {

using Json = nlohmann::json;

// The body of a 200 answer to GET `path` on 127.0.0.1:`port`; empty when there is none.
inline std::string webBody(int port, const std::string& path, const QueryParams& params = {}) {
    const std::optional<HttpReply> reply = httpGet(port, path, params);
    return reply && reply->status == 200 ? reply->body : "";
}

// The first status document for which `done` holds (the last one read when the time is up).
inline Json waitForStatus(int webPort, const std::function<bool(const Json&)>& done,
                          std::chrono::milliseconds timeout) {
    Json status;
    waitUntil(
        [&] {
            status = Json::parse(webBody(webPort, "/api/v1/status"), nullptr, false);
            return status.is_object() && done(status);
        },
        timeout);
    return status;
}

// The series `name` of one caller of a status document in /metrics.
inline std::string callerSeries(const std::string& name, const Json& caller) {
    return name + "{id=\"" + std::to_string(caller["id"].get<std::int64_t>()) + "\",remote=\"" +
           caller["remote"].get<std::string>() + "\"}";
}

} // namespace vandra::e2e
