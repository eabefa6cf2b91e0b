#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
    // A source-specific join: the kernel passes this socket the group's datagrams from `sender`
    // only, even when another socket of the host joined the group any-source. Datagrams that
    // come in on another interface are kept out only by receiveOnlyJoinedGroups().
    bool joinSource(std::uint32_t groupNetworkOrder, std::uint32_t senderNetworkOrder,
                    std::uint32_t ifaceNetworkOrder);
    // A receive waits at most this long before it reports a time-out.
    bool setReceiveTimeout(int milliseconds);

    struct Datagram {
        int length = 0;     // bytes received, or -1 on error
        int fullLength = 0; // the datagram's real size; above the buffer when truncated
        bool timedOut = false;
        bool truncated() const { return fullLength > length; }
    };
    // Waits for one datagram (up to the receive time-out, if set); retries when interrupted by
    // a signal.
    Datagram receive(std::uint8_t* buffer, int capacity);

private:
    int fd_ = -1;
};

// inet_pton for IPv4: false when the text is no dotted address.
bool parseIpv4(const std::string& text, std::uint32_t& addressNetworkOrder);
bool isMulticast(std::uint32_t addressNetworkOrder);
// The local address and interface name ("10.0.0.5 (eth0)") that traffic for `group` uses:
// `iface` when given, else the one the routing table picks, as a join on any interface does.
std::string interfaceTowards(std::uint32_t groupNetworkOrder, std::uint32_t ifaceNetworkOrder);
std::uint32_t anyAddress();
// Whether `addressNetworkOrder` belongs to one of this host's interfaces.
bool isLocalAddress(std::uint32_t addressNetworkOrder);
// Every IPv4 address of this host's interfaces, as dotted text.
std::vector<std::string> localAddresses();

} // namespace vandra::platform
