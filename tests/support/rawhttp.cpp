#include "rawhttp.h"

#include <cstdlib>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>

#include <httplib.h>

namespace vandra::e2e {

namespace {
bool setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
}
} // namespace

std::string rawHttpGet(int port, const std::string& target, std::chrono::milliseconds timeout) {
    const Socket sock(SOCK_STREAM);
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(sock.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        !setReceiveTimeout(sock.fd(), timeout)) {
        return "";
    }
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(sock.fd(), request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return "";
    }
    std::string response;
    char buffer[16384];
    for (int reads = 0; reads < 1000; ++reads) {
        const ssize_t n = ::recv(sock.fd(), buffer, sizeof(buffer), 0);
        if (n <= 0) {
            break;
        }
        response.append(buffer, static_cast<size_t>(n));
    }
    return response;
}

KeptConnection::KeptConnection(int port) {
    const sockaddr_in address = loopbackAddress(port);
    open_ =
        ::connect(socket_.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

std::string KeptConnection::get(const std::string& target, const std::string& headers,
                                std::chrono::milliseconds timeout) {
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
    open_ = open_ && setReceiveTimeout(socket_.fd(), timeout) &&
            ::send(socket_.fd(), request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size());
    std::string response;
    open_ = open_ && readResponse(response);
    return open_ ? response : "";
}

bool KeptConnection::readResponse(std::string& response) {
    char buffer[16384];
    for (int reads = 0; reads < 1000; ++reads) {
        const std::size_t headEnd = unread_.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            const std::string head = unread_.substr(0, headEnd);
            const std::size_t field = head.find("\r\nContent-Length: ");
            const std::size_t length = field == std::string::npos
                                           ? 0
                                           : std::strtoul(head.c_str() + field + 18, nullptr, 10);
            if (unread_.size() >= headEnd + 4 + length) {
                response = unread_.substr(0, headEnd + 4 + length);
                unread_.erase(0, response.size());
                return true;
            }
        }
        const ssize_t n = ::recv(socket_.fd(), buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return false;
        }
        unread_.append(buffer, static_cast<size_t>(n));
    }
    return false;
}

std::string basicAuthorization(const std::string& name, const std::string& password) {
    const auto [field, value] = httplib::make_basic_authentication_header(name, password);
    return field + ": " + value + "\r\n";
}

int httpStatus(const std::string& response) {
    if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) {
        return -1;
    }
    return std::atoi(response.c_str() + 9);
}

std::string httpBody(const std::string& response) {
    const size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? "" : response.substr(end + 4);
}

std::optional<double> sampleOf(const std::string& metrics, const std::string& series) {
    const std::string lead = series + " ";
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(lead, 0) == 0) {
            return std::stod(line.substr(lead.size()));
        }
    }
    return std::nullopt;
}

std::optional<double> metricOf(int webPort, const std::string& series) {
    return sampleOf(httpBody(rawHttpGet(webPort, "/metrics")), series);
}

} // namespace vandra::e2e
