#include "platform/udpsocket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <utility>

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

bool UdpSocket::setReceiveTimeout(int milliseconds) {
    timeval timeout{};
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = (milliseconds % 1000) * 1000;
    return ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) == 0;
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

bool UdpSocket::joinSource(std::uint32_t groupNetworkOrder, std::uint32_t senderNetworkOrder,
                           std::uint32_t ifaceNetworkOrder) {
    ip_mreq_source request{};
    request.imr_multiaddr.s_addr = groupNetworkOrder;
    request.imr_sourceaddr.s_addr = senderNetworkOrder;
    request.imr_interface.s_addr = ifaceNetworkOrder;
    return ::setsockopt(fd_, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request, sizeof(request)) == 0;
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
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return {0, 0, true};
        }
        if (n < 0) {
            return {-1, -1, false};
        }
        const int full = static_cast<int>(n);
        return {full > capacity ? capacity : full, full, false};
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

namespace vandra::platform {

namespace {
std::string addressText(std::uint32_t addressNetworkOrder) {
    in_addr address{};
    address.s_addr = addressNetworkOrder;
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &address, text, sizeof(text)) != nullptr ? text : "?";
}

// Every IPv4 interface address with its interface name; empty when the system does not say.
std::vector<std::pair<std::uint32_t, std::string>> interfaceAddresses() {
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) {
        return {};
    }
    std::vector<std::pair<std::uint32_t, std::string>> found;
    for (const ifaddrs* entry = all; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            found.emplace_back(
                reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr,
                entry->ifa_name);
        }
    }
    ::freeifaddrs(all);
    return found;
}

std::string interfaceNameOf(std::uint32_t addressNetworkOrder) {
    for (const auto& [address, name] : interfaceAddresses()) {
        if (address == addressNetworkOrder) {
            return name;
        }
    }
    return "";
}

// The source address of the route towards `group`; INADDR_ANY when there is none.
std::uint32_t routedAddressTowards(std::uint32_t groupNetworkOrder) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        return htonl(INADDR_ANY);
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_addr.s_addr = groupNetworkOrder;
    group.sin_port = htons(9);
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    const bool found =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&group), sizeof(group)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(fd);
    return found ? local.sin_addr.s_addr : htonl(INADDR_ANY);
}
} // namespace

bool isLocalAddress(std::uint32_t addressNetworkOrder) {
    const auto all = interfaceAddresses();
    return std::any_of(all.begin(), all.end(), [addressNetworkOrder](const auto& entry) {
        return entry.first == addressNetworkOrder;
    });
}

std::vector<std::string> localAddresses() {
    std::vector<std::string> texts;
    for (const auto& entry : interfaceAddresses()) {
        texts.push_back(addressText(entry.first));
    }
    return texts;
}

std::string interfaceTowards(std::uint32_t groupNetworkOrder, std::uint32_t ifaceNetworkOrder) {
    const bool chosen = ifaceNetworkOrder != htonl(INADDR_ANY);
    const std::uint32_t address =
        chosen ? ifaceNetworkOrder : routedAddressTowards(groupNetworkOrder);
    if (address == htonl(INADDR_ANY)) {
        return "no interface (no route to the group)";
    }
    const std::string name = interfaceNameOf(address);
    return addressText(address) + (name.empty() ? "" : " (" + name + ")") +
           (chosen ? "" : ", picked by the routing table");
}

} // namespace vandra::platform
