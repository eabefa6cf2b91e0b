#include "web/tcplistener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "platform/platform.h"

namespace vandra {

namespace {
// Room for a burst of connections while the server's loop is busy elsewhere. A crowd that
// reconnects in waves fills a queue of 511 and the kernel then drops newcomers' SYNs, so an
// operator's probe waits a whole second for its retry; the kernel clamps this to somaxconn.
constexpr int kBacklog = 4096;
} // namespace

TcpListener TcpListener::open(const std::string& address, int port, std::string& error) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return TcpListener();
    }
    TcpListener listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener.valid() || !platform::setReuseAddress(listener.fd_) ||
        ::bind(listener.fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
        ::listen(listener.fd_, kBacklog) != 0) {
        error = std::strerror(errno);
        return TcpListener();
    }
    return listener;
}

TcpListener::~TcpListener() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

TcpListener::TcpListener(TcpListener&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int TcpListener::release() {
    return std::exchange(fd_, -1);
}

} // namespace vandra
