#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vandra::test {

// A port that was free a moment ago: bound to port 0 on `address`, read back, released. The
// web port is taken on all addresses, as the server binds it: a client's TIME_WAIT on another
// loopback address (the web floods use 127.0.0.10 and up) leaves a port free on 127.0.0.1 but
// not on 0.0.0.0.
inline int freePort(int type, in_addr_t address) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof(bound));
    socklen_t length = sizeof(bound);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    ::close(fd);
    return ntohs(bound.sin_port);
}

} // namespace vandra::test
