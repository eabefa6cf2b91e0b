#pragma once

#include <chrono>
#include <optional>
#include <string>

// HTTP spoken by hand, for requests a client library would normalise or refuse.
namespace vandra::e2e {

// Sends GET with the request target exactly as given and returns the whole response, or what
// arrived before `timeout`; empty when the connection failed.
std::string rawHttpGet(int port, const std::string& target,
                       std::chrono::milliseconds timeout = std::chrono::seconds(3));
// The status code of a raw response; -1 when it is not HTTP.
int httpStatus(const std::string& response);
std::string httpBody(const std::string& response);
// The value of one series in a /metrics text, e.g. `vandra_callers` or `name{a="b"}`; empty
// when it is missing.
std::optional<double> sampleOf(const std::string& metrics, const std::string& series);
// The same from the server's /metrics on `webPort`.
std::optional<double> metricOf(int webPort, const std::string& series);

} // namespace vandra::e2e
