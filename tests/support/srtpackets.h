#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// SRT datagrams built by hand, for peers that misbehave on purpose.
namespace vandra::e2e {

// The first message of an SRT caller's handshake (induction): a 16-byte control header and
// the 48-byte handshake body, all big-endian.
std::vector<std::uint8_t> srtInductionRequest(std::uint32_t socketId, std::uint32_t firstSeq);
// The big-endian 32-bit word at `index` (in words) of a datagram.
std::uint32_t wordAt(const std::vector<std::uint8_t>& packet, std::size_t index);

} // namespace vandra::e2e
