#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace vandra::test {

// The low end of the kernel's ephemeral ports: 32768 unless the machine says otherwise.
inline int firstEphemeralPort() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    return range >> low && low > 2048 ? low : 32768;
}

// A port below the ephemeral range that binds on every address right now (as the server binds
// its web port: a client's TIME_WAIT on another loopback address would not show on 127.0.0.1
// alone); 0 when none was found. A port the kernel picks (bind to 0) is an ephemeral one, which
// a client socket of a test running beside this one can be given before the server binds it.
inline int freePort(int type) {
    thread_local std::mt19937 random{std::random_device{}()};
    const int high = firstEphemeralPort() - 1;
    std::uniform_int_distribution<int> pick(std::max(1024, high / 2), high);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = pick(random);
        const int fd = ::socket(AF_INET, type, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        ::close(fd);
        if (bound) {
            return port;
        }
    }
    return 0;
}

} // namespace vandra::test
