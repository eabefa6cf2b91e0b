#pragma once

#include <cstdint>
#include <string>

namespace vandra::platform {

// An IPv4 UDP socket that joins one multicast group. Owns its descriptor. Calls return false
// on failure, with the error left for lastSocketError().
class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket() { close(); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool open();
    void close();

    bool setReuseAddress();
    // The kernel's own figure: Linux reports twice the size it granted.
    int receiveBufferSize() const;
    bool setReceiveBufferSize(int bytes);
    // Beyond net.core.rmem_max; needs CAP_NET_ADMIN.
    bool forceReceiveBufferSize(int bytes);
    // Receive only the groups this socket joined, not those of other sockets on the port.
    bool receiveOnlyJoinedGroups();
    bool bind(std::uint32_t addressNetworkOrder, std::uint16_t port);
    bool joinGroup(std::uint32_t groupNetworkOrder, std::uint32_t ifaceNetworkOrder);

    struct Datagram {
        int length = 0;     // bytes received, or -1 on error
        int fullLength = 0; // the datagram's real size; above the buffer when truncated
        bool truncated() const { return fullLength > length; }
    };
    // Blocks for one datagram; retries when interrupted by a signal.
    Datagram receive(std::uint8_t* buffer, int capacity);

private:
    int fd_ = -1;
};

// inet_pton for IPv4: false when the text is no dotted address.
bool parseIpv4(const std::string& text, std::uint32_t& addressNetworkOrder);
bool isMulticast(std::uint32_t addressNetworkOrder);
std::uint32_t anyAddress();

} // namespace vandra::platform
