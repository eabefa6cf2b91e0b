#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vandra {

// A request as the web server's routes see it, whatever library reads it off the wire.
struct HttpRequest {
    std::string method;
    std::string path; // percent-decoded, without the query
    std::string peer; // the client's IPv4 address
    std::vector<std::pair<std::string, std::string>> headers;

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

// The answer to one request: a body, or a file to send as the body.
struct HttpReply {
    int status = 200;
    std::string contentType; // none sent when empty
    std::string body;
    std::string file;
    std::vector<std::pair<std::string, std::string>> headers;

    static HttpReply text(int status, std::string body, std::string contentType) {
        HttpReply reply;
        reply.status = status;
        reply.body = std::move(body);
        reply.contentType = std::move(contentType);
        return reply;
    }
};

} // namespace vandra
