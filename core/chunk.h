#pragma once

#include <cstdint>

namespace vandra {

// The unit of the whole data path: seven 188-byte transport-stream packets, as received,
// buffered, recorded and sent to every caller.
inline constexpr std::int32_t kTsPacketSize = 188;
inline constexpr std::int32_t kPacketsPerChunk = 7;
inline constexpr std::int32_t kChunkSize = kTsPacketSize * kPacketsPerChunk;

} // namespace vandra
