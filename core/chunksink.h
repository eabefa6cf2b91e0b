#pragma once

#include <cstdint>

namespace vandra {

// Where the receiver hands every whole chunk; it owns none of what lies behind.
class ChunkSink {
public:
    // Called on the receiver thread for every chunk, in input order.
    virtual void broadcast(const std::uint8_t* chunk, std::int32_t length) = 0;

protected:
    ~ChunkSink() = default;
};

} // namespace vandra
