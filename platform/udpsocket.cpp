#include "platform/udpsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vandra::platform {

namespace {
bool setIntOption(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, &value, sizeof(value)) == 0;
}
} // namespace

bool UdpSocket::open() {
    close();
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        return false;
    }
    fd_ = fd;
    return true;
}

void UdpSocket::close() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
}

bool UdpSocket::setReuseAddress() {
    return setIntOption(fd_, SOL_SOCKET, SO_REUSEADDR, 1);
}

int UdpSocket::receiveBufferSize() const {
    int value = 0;
    socklen_t length = sizeof(value);
    ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &value, &length);
    return value;
}

bool UdpSocket::setReceiveBufferSize(int bytes) {
    return setIntOption(fd_, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool UdpSocket::forceReceiveBufferSize(int bytes) {
    return setIntOption(fd_, SOL_SOCKET, SO_RCVBUFFORCE, bytes);
}

bool UdpSocket::receiveOnlyJoinedGroups() {
    return setIntOption(fd_, IPPROTO_IP, IP_MULTICAST_ALL, 0);
}

bool UdpSocket::bind(std::uint32_t addressNetworkOrder, std::uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = addressNetworkOrder;
    local.sin_port = htons(port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
}

bool UdpSocket::joinGroup(std::uint32_t groupNetworkOrder, std::uint32_t ifaceNetworkOrder) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = groupNetworkOrder;
    request.imr_interface.s_addr = ifaceNetworkOrder;
    return ::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) == 0;
}

UdpSocket::Datagram UdpSocket::receive(std::uint8_t* buffer, int capacity) {
    sockaddr_in sender{};
    for (;;) {
        socklen_t senderLength = sizeof(sender);
        // MSG_TRUNC makes the call report the datagram's real size when it did not fit.
        const ssize_t n = ::recvfrom(fd_, buffer, static_cast<size_t>(capacity), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return {-1, -1};
        }
        const int full = static_cast<int>(n);
        return {full > capacity ? capacity : full, full};
    }
}

bool parseIpv4(const std::string& text, std::uint32_t& addressNetworkOrder) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return false;
    }
    addressNetworkOrder = address.s_addr;
    return true;
}

bool isMulticast(std::uint32_t addressNetworkOrder) {
    return IN_MULTICAST(ntohl(addressNetworkOrder));
}

std::uint32_t anyAddress() {
    return htonl(INADDR_ANY);
}

} // namespace vandra::platform
