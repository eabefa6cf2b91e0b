#pragma once

#include <chrono>
#include <cstdint>
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
// An unlabelled value from the server's /metrics, e.g. "vandra_input_datagrams_total"; empty
// when it cannot be read.
std::optional<std::uint64_t> metricValue(int webPort, const std::string& name);

} // namespace vandra::e2e
