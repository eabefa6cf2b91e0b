#include "rawhttp.h"

#include <cstdlib>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>

#include "harness.h"

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
