#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/socket.h>

#include "harness.h"

// HTTP spoken by hand, for requests a client library would normalise or refuse.
namespace vandra::e2e {

// Sends GET with the request target exactly as given and returns the whole response, or what
// arrived before `timeout`; empty when the connection failed.
std::string rawHttpGet(int port, const std::string& target,
                       std::chrono::milliseconds timeout = std::chrono::seconds(3));
// One HTTP/1.1 connection kept open across requests, as a scraper or a browser keeps it; it
// never reconnects, so every answer it reads came over the same connection.
class KeptConnection {
public:
    explicit KeptConnection(int port);

    // The whole response (read by its Content-Length) to GET `target` with `headers` (lines
    // each ending in "\r\n"); empty once the connection failed or closed, or when nothing
    // whole came within `timeout`.
    std::string get(const std::string& target, const std::string& headers = "",
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    bool readResponse(std::string& response);

    Socket socket_{SOCK_STREAM};
    bool open_ = false;
    std::string unread_; // what came after the last response
};

// The header line of HTTP Basic credentials, "Authorization: Basic ...\r\n".
std::string basicAuthorization(const std::string& name, const std::string& password);

// The status code of a raw response; -1 when it is not HTTP.
int httpStatus(const std::string& response);
std::string httpBody(const std::string& response);
// The value of one series in a /metrics text, e.g. `vandra_callers` or `name{a="b"}`; empty
// when it is missing.
std::optional<double> sampleOf(const std::string& metrics, const std::string& series);
// The same from the server's /metrics on `webPort`.
std::optional<double> metricOf(int webPort, const std::string& series);

} // namespace vandra::e2e
