#include "srtpackets.h"

#include <arpa/inet.h>
#include <cstring>

namespace vandra::e2e {

std::vector<std::uint8_t> srtInductionRequest(std::uint32_t socketId, std::uint32_t firstSeq) {
    const std::uint32_t words[16] = {
        0x80000000u, // control packet, type handshake
        0,           // type-specific information
        0,           // timestamp
        0,           // destination socket: none yet
        4,           // handshake version a caller starts with
        2,           // socket type: datagram
        firstSeq,    // initial packet sequence number
        1500,        // MTU
        8192,        // flow window
        1,           // handshake type: induction
        socketId,    // caller's socket id
        0,           // SYN cookie: not known yet
        0x7f000001u, // peer address, IPv4 in the first of four words
        0,           0, 0,
    };
    std::vector<std::uint8_t> packet(sizeof(words));
    for (std::size_t i = 0; i < 16; ++i) {
        const std::uint32_t value = htonl(words[i]);
        std::memcpy(packet.data() + i * 4, &value, 4);
    }
    return packet;
}

std::uint32_t wordAt(const std::vector<std::uint8_t>& packet, std::size_t index) {
    std::uint32_t value = 0;
    std::memcpy(&value, packet.data() + index * 4, 4);
    return ntohl(value);
}

} // namespace vandra::e2e
