#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "fuzzcheck.h"
#include "ingest/rtppacket.h"
#include "ingest/rtpsequencer.h"

namespace vandra::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

void checkParse(const RtpPacket& packet, RtpPacket::Error error,
                std::span<const std::uint8_t> datagram) {
    require((error == RtpPacket::Error::NotRtp) == !RtpPacket::isRtp(datagram),
            "NotRtp disagrees with isRtp");
    if (error != RtpPacket::Error::None) {
        require(packet.payload().empty(), "a failed parse left a payload");
        return;
    }
    const std::uint8_t* begin = packet.payload().data();
    const size_t length = packet.payload().size();
    require(begin >= datagram.data() + RtpPacket::kFixedHeaderSize, "payload inside the header");
    require(begin + length <= datagram.data() + datagram.size(), "payload past the datagram");
    require(length > 0 && length <= static_cast<size_t>(RtpPacket::kMaxPayloadSize) &&
                length % kTsPacketSize == 0,
            "payload is not whole TS packets within a chunk");
}

// The sequencer beside what it was given: every delivery must be a payload that was taken
// for that number, numbers rise within a stream, and the counters add up.
class SequencerModel {
public:
    SequencerModel()
        : sequencer_([this](std::uint16_t sequence, std::span<const std::uint8_t> bytes) {
              onDeliver(sequence, bytes);
          }) {}

    void push(std::uint16_t sequence, std::uint32_t ssrc, std::span<const std::uint8_t> payload,
              std::int64_t nowMs) {
        candidate_.assign(payload.begin(), payload.end());
        candidateSequence_ = sequence;
        candidateDelivered_ = false;
        const RtpSequencer::Counters before = sequencer_.counters();
        require(sequencer_.push(sequence, ssrc, payload, nowMs), "refused a parsed payload");
        ++pushed_;
        const RtpSequencer::Counters& after = sequencer_.counters();
        const bool taken = after.duplicates == before.duplicates && after.late == before.late;
        require(after.duplicates + after.late - before.duplicates - before.late == (taken ? 0 : 1),
                "one push counted as more than one outcome");
        if (taken && !candidateDelivered_) {
            waiting_[sequence] = candidate_;
        }
        checkCounters();
    }

    void tick(std::int64_t nowMs) {
        sequencer_.tick(nowMs);
        checkCounters();
    }

    // Once nothing waits, every number given up lies between two delivered ones.
    void finish(std::int64_t nowMs) {
        tick(nowMs + RtpSequencer::kWindowMs);
        require(sequencer_.waiting() == 0, "packets still waiting after the window");
        require(sequencer_.counters().lost == gapsSeen_, "lost differs from the delivery gaps");
    }

private:
    void onDeliver(std::uint16_t sequence, std::span<const std::uint8_t> bytes) {
        const std::uint64_t stream = sequencer_.counters().restarts;
        if (delivered_ > 0 && stream == lastStream_) {
            const int step =
                static_cast<std::int16_t>(static_cast<std::uint16_t>(sequence - last_));
            require(step > 0, "delivered numbers do not rise within a stream");
            gapsSeen_ += static_cast<std::uint64_t>(step - 1);
        }
        lastStream_ = stream;
        last_ = sequence;
        ++delivered_;

        const auto waiting = waiting_.find(sequence);
        if (waiting != waiting_.end()) {
            require(std::equal(bytes.begin(), bytes.end(), waiting->second.begin(),
                               waiting->second.end()),
                    "delivered bytes differ from the waiting packet");
            waiting_.erase(waiting);
            return;
        }
        require(sequence == candidateSequence_ && !candidateDelivered_ &&
                    std::equal(bytes.begin(), bytes.end(), candidate_.begin(), candidate_.end()),
                "delivered a packet that was never taken");
        candidateDelivered_ = true;
    }

    void checkCounters() const {
        const RtpSequencer::Counters& c = sequencer_.counters();
        require(c.delivered == delivered_, "delivered counter differs from the deliveries");
        require(c.delivered + c.duplicates + c.late + sequencer_.waiting() == pushed_,
                "a packet is neither delivered, dropped nor waiting");
        require(waiting_.size() == static_cast<size_t>(sequencer_.waiting()),
                "waiting count differs from the packets held");
        require(sequencer_.waiting() < RtpSequencer::kWindowPackets, "more waiting than fits");
        require(c.late <= c.reordered, "a late packet not counted as reordered");
    }

    RtpSequencer sequencer_;
    std::map<std::uint16_t, Bytes> waiting_;
    Bytes candidate_;
    std::uint16_t candidateSequence_ = 0;
    bool candidateDelivered_ = false;
    std::uint64_t pushed_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint64_t lastStream_ = 0;
    std::uint16_t last_ = 0;
    std::uint64_t gapsSeen_ = 0;
};

struct Header {
    std::uint16_t sequence = 0;
    std::uint32_t ssrc = 0;
    int csrcCount = 0;
    int extensionWords = -1;
    int padding = 0;
    size_t payloadSize = 0;
};

// A well-formed datagram; its payload names its own number so deliveries can be told apart.
Bytes buildDatagram(const Header& header) {
    Bytes out(12, 0);
    out[0] = static_cast<std::uint8_t>(0x80 | (header.padding > 0 ? 0x20 : 0) |
                                       (header.extensionWords >= 0 ? 0x10 : 0) | header.csrcCount);
    out[1] = 33;
    out[2] = static_cast<std::uint8_t>(header.sequence >> 8);
    out[3] = static_cast<std::uint8_t>(header.sequence);
    out[11] = static_cast<std::uint8_t>(header.ssrc);
    out.resize(out.size() + 4 * static_cast<size_t>(header.csrcCount), 0x80);
    if (header.extensionWords >= 0) {
        out.insert(out.end(), {0, 0, 0, static_cast<std::uint8_t>(header.extensionWords)});
        out.resize(out.size() + 4 * static_cast<size_t>(header.extensionWords), 0x80);
    }
    const size_t payloadAt = out.size();
    out.resize(payloadAt + header.payloadSize);
    for (size_t i = 0; i < header.payloadSize; ++i) {
        out[payloadAt + i] = static_cast<std::uint8_t>(header.sequence * 31 + i);
    }
    if (header.padding > 0) {
        out.resize(out.size() + static_cast<size_t>(header.padding) - 1, 0);
        out.push_back(static_cast<std::uint8_t>(header.padding));
    }
    return out;
}

class Run {
public:
    explicit Run(InputBytes& input) : input_(input) {}

    void operate() {
        while (!input_.empty()) {
            const std::uint8_t op = input_.next();
            advanceTime(input_.next());
            if (op & 0x02) {
                model_.tick(nowMs_);
            }
            if (op & 0x01) {
                takeFuzzedDatagram();
            } else {
                takeWellFormedDatagram(op);
            }
        }
        model_.finish(nowMs_);
    }

private:
    // Mostly a few milliseconds; sometimes long enough to pass the window or the restart gap.
    void advanceTime(std::uint8_t step) { nowMs_ += step < 200 ? step % 8 : (step - 200) * 50; }

    void takeFuzzedDatagram() {
        const size_t length = input_.next16() % (RtpPacket::kMaxDatagramSize + 1);
        // A copy has exactly its size, so any read past the end is caught.
        const Bytes datagram = input_.take(length);
        RtpPacket packet;
        const RtpPacket::Error error = packet.parse(datagram);
        checkParse(packet, error, datagram);
        if (error == RtpPacket::Error::None) {
            model_.push(packet.sequence(), packet.ssrc(), packet.payload(), nowMs_);
        }
    }

    void takeWellFormedDatagram(std::uint8_t op) {
        Header header;
        if (op & 0x10) {
            header.sequence = input_.next16();
        } else {
            header.sequence =
                static_cast<std::uint16_t>(lastSequence_ + static_cast<std::int8_t>(input_.next()));
        }
        lastSequence_ = header.sequence;
        header.ssrc = (op >> 2) & 0x03;
        const std::uint8_t shape = input_.next();
        header.csrcCount = shape & 0x0f;
        header.extensionWords = ((shape >> 4) & 0x03) - 1;
        header.padding = (shape & 0x40) ? 1 + (shape >> 7) * 254 : 0;
        // Mostly one TS packet: the sequencer's logic does not depend on the size, copies do.
        header.payloadSize =
            kTsPacketSize * ((op & 0x20) ? 1 + header.sequence % kPacketsPerChunk : 1);

        const Bytes built = buildDatagram(header);
        const Bytes datagram(built); // a copy of exactly its size: no slack to read into
        RtpPacket packet;
        const RtpPacket::Error error = packet.parse(datagram);
        checkParse(packet, error, datagram);
        require(error == RtpPacket::Error::None, "a well-formed datagram was refused");
        require(packet.sequence() == header.sequence && packet.ssrc() == header.ssrc &&
                    packet.payload().size() == header.payloadSize &&
                    packet.payload()[0] == static_cast<std::uint8_t>(header.sequence * 31),
                "fields read back differ from those written");
        model_.push(packet.sequence(), packet.ssrc(), packet.payload(), nowMs_);
    }

    InputBytes& input_;
    SequencerModel model_;
    std::int64_t nowMs_ = 0;
    std::uint16_t lastSequence_ = 0;
};

} // namespace

void checkInput(const std::uint8_t* data, size_t size) {
    InputBytes input(data, size);
    Run(input).operate();
}

} // namespace vandra::fuzz
