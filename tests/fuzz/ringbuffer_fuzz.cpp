#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/ringbuffer_adaptive.h"
#include "fuzzcheck.h"

namespace vandra::fuzz {
namespace {

constexpr std::int32_t kChunk = 1316;
constexpr std::int32_t kTsPacket = 188;
// Longer than any datagram the server takes, so a single push can outgrow the whole ring.
constexpr std::int32_t kLongestPush = 4000;

// The ring under test beside a plain byte queue holding what it should hold. Stream bytes
// are numbered through a multiplicative hash so that neither order nor loss can hide behind
// a short period.
class RingAndModel {
public:
    explicit RingAndModel(std::int32_t chunkCount)
        : ring_(kChunk, chunkCount), lastCapacity_(ring_.capacity()) {}

    void push(std::int32_t length) {
        std::vector<std::uint8_t> bytes(static_cast<size_t>(length));
        for (std::uint8_t& byte : bytes) {
            byte = streamByte(written_++);
        }
        model_.insert(model_.end(), bytes.begin(), bytes.end());
        ring_.push(bytes.data(), length);
        checkState();
    }

    bool pop() {
        std::vector<std::uint8_t> chunk(kChunk);
        const bool popped = ring_.pop(chunk.data());
        require(popped == (model_.size() >= static_cast<size_t>(kChunk)),
                "pop disagrees with the number of unread bytes");
        if (popped) {
            const auto chunkEnd = model_.begin() + kChunk;
            require(std::equal(model_.begin(), chunkEnd, chunk.begin()),
                    "popped chunk differs from the pushed stream");
            model_.erase(model_.begin(), chunkEnd);
        }
        checkState();
        return popped;
    }

    void drain() {
        while (pop()) {
        }
    }

    void release() {
        require(ring_.releaseStorage() == model_.empty(),
                "release disagrees with the number of unread bytes");
        checkState();
    }

private:
    static std::uint8_t streamByte(std::uint64_t index) {
        return static_cast<std::uint8_t>((index * 0x9E3779B1u) >> 24);
    }

    void checkState() {
        require(ring_.available() >= 0 && static_cast<size_t>(ring_.available()) == model_.size(),
                "available() differs from the unread byte count");
        const std::int32_t capacity = ring_.capacity();
        require(capacity >= ring_.available(), "more unread bytes than storage");
        require(capacity >= lastCapacity_, "storage shrank");
        lastCapacity_ = capacity;
    }

    RingBufferAdaptive ring_;
    std::deque<std::uint8_t> model_;
    std::uint64_t written_ = 0;
    std::int32_t lastCapacity_;
};

void runOperations(InputBytes& input) {
    RingAndModel ring(2 + input.next() % 2);
    while (!input.empty()) {
        const std::uint8_t op = input.next();
        switch (op & 3) {
        case 0:
            ring.pop();
            break;
        case 1:
            ring.push(static_cast<std::int32_t>(input.next16() % (kChunk + 1)));
            break;
        case 2: // whole TS packets, the usual datagram shape
            ring.push(kTsPacket * (1 + (op >> 2) % 7));
            break;
        default:
            if (op & 0x80) {
                ring.push(static_cast<std::int32_t>(input.next16() % (kLongestPush + 1)));
            } else if (op & 0x40) {
                ring.release();
            } else {
                ring.drain();
            }
            break;
        }
    }
    ring.drain();
}

} // namespace

void checkInput(const std::uint8_t* data, size_t size) {
    InputBytes input(data, size);
    runOperations(input);
}

} // namespace vandra::fuzz
