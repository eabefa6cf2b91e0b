#include "tools/toolcommon.h"

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace vandra::tool {

namespace {
volatile std::sig_atomic_t gStopRequested = 0;

void onStopSignal(int) {
    gStopRequested = 1;
}
} // namespace

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

bool stopRequested() {
    return gStopRequested != 0;
}

JsonLine& JsonLine::field(std::string_view key, const std::string& value) {
    if (!fields_.empty()) {
        fields_ += ',';
    }
    fields_ += '"';
    fields_ += key;
    fields_ += "\":";
    fields_ += value;
    return *this;
}

JsonLine& JsonLine::number(std::string_view key, std::uint64_t value) {
    return field(key, std::to_string(value));
}

JsonLine& JsonLine::numberOrNull(std::string_view key, bool present, std::uint64_t value) {
    return field(key, present ? std::to_string(value) : "null");
}

JsonLine& JsonLine::millisecondsOrNull(std::string_view key, bool present, std::uint64_t us) {
    char text[32] = "null";
    if (present) {
        std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(us) / 1000.0);
    }
    return field(key, text);
}

JsonLine& JsonLine::object(std::string_view key, const JsonLine& inner) {
    return field(key, inner.text());
}

void JsonLine::print() const {
    std::printf("%s\n", text().c_str());
    std::fflush(stdout);
}

UdpSocket::UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}

UdpSocket::~UdpSocket() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool UdpSocket::setBuffer(int option, int bytes) const {
    return ::setsockopt(fd_, SOL_SOCKET, option, &bytes, sizeof(bytes)) == 0;
}

bool UdpSocket::bind(const sockaddr_in& address) const {
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

bool UdpSocket::connect(const sockaddr_in& address) const {
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

} // namespace vandra::tool
