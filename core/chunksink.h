#pragma once

#include <cstdint>

namespace vandra {

// Where the receiver hands every whole chunk; it owns none of what lies behind.
class ChunkSink {
public:
    // Called on the receiver thread for every chunk, in input order.
    virtual void broadcast(const std::uint8_t* chunk, std::int32_t length) = 0;
    // Called on the receiver thread when the chunks that follow come from another input: what
    // was kept of the old one (the fast-start cache) must not be joined to them.
    virtual void restartStream() {}
    // Called on the receiver thread when a wait for input ended without any.
    virtual void idle(std::int64_t /*nowMs*/) {}

protected:
    ~ChunkSink() = default;
};

} // namespace vandra
