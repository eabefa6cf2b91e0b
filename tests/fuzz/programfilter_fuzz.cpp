#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/chunk.h"
#include "fuzzcheck.h"
#include "ingest/programcatalog.h"
#include "ingest/programfilter.h"
#include "ingest/sectionassembler.h"

namespace vandra::fuzz {
namespace {

std::uint16_t pidOf(const std::uint8_t* packet) {
    return static_cast<std::uint16_t>((packet[1] & 0x1F) << 8 | packet[2]);
}

// What the filter sends: whole synced packets; every PAT one that parses, alone in its packet,
// and lists the chosen programme only; every other packet, nulls aside, an input packet in
// input order (none invented, none reordered).
class OutputCheck {
public:
    OutputCheck(std::uint16_t program, const std::vector<std::uint8_t>& input)
        : program_(program), input_(input),
          pat_([this](const SectionAssembler::Section& section) { onPat(section); }) {}

    void message(const std::uint8_t* message) {
        for (std::int32_t at = 0; at < kChunkSize; at += kTsPacketSize) {
            packet(message + at);
        }
    }
    void finish() const { require(pats_ == patPackets_, "a rewritten PAT that does not parse"); }

private:
    void packet(const std::uint8_t* packet) {
        require(packet[0] == 0x47, "output packet without sync");
        const std::uint16_t pid = pidOf(packet);
        if (pid == 0x1FFF) {
            return;
        }
        if (pid == 0) {
            ++patPackets_;
            pat_.feed(packet);
            return;
        }
        while (cursor_ < input_.size() &&
               std::memcmp(input_.data() + cursor_, packet, kTsPacketSize) != 0) {
            cursor_ += kTsPacketSize;
        }
        require(cursor_ < input_.size(), "output packet not in the input, or out of order");
        cursor_ += kTsPacketSize;
    }
    void onPat(const SectionAssembler::Section& section) {
        ++pats_;
        require(section.size == 16, "rewritten PAT lists more or less than one programme");
        const std::uint16_t number =
            static_cast<std::uint16_t>(section.bytes[8] << 8 | section.bytes[9]);
        require(number == program_, "rewritten PAT lists another programme");
    }

    const std::uint16_t program_;
    const std::vector<std::uint8_t>& input_;
    SectionAssembler pat_;
    std::size_t cursor_ = 0;
    std::int64_t pats_ = 0;
    std::int64_t patPackets_ = 0;
};

} // namespace

void checkInput(const std::uint8_t* data, size_t size) {
    if (size < 3) {
        return;
    }
    // The programme and the pace from the first bytes; the chunks after them get sync bytes,
    // so that the fuzzer spends its time on the tables.
    const auto program = static_cast<std::uint16_t>(data[0] % 4);
    const std::int64_t stepMs = data[1] % 16;
    std::vector<std::uint8_t> input(data + 3, data + 3 + (size - 3) / kChunkSize * kChunkSize);
    for (std::size_t at = 0; at < input.size(); at += kTsPacketSize) {
        input[at] = (data[2] & 1) != 0 ? input[at] : 0x47;
    }
    OutputCheck check(program, input);
    ProgramFilter filter(program,
                         [&check](const std::uint8_t* message) { check.message(message); });
    ProgramCatalog catalog;
    std::int64_t nowMs = 0;
    for (std::size_t at = 0; at < input.size(); at += kChunkSize) {
        nowMs += stepMs;
        filter.feedChunk(input.data() + at, nowMs);
        catalog.feedChunk(input.data() + at);
    }
    filter.tick(nowMs + ProgramFilter::kMaxWaitMs);
    check.finish();
    require(filter.packetsOut() % kPacketsPerChunk == 0, "a partial message");
    const auto found = catalog.resolve(std::to_string(program));
    require(!found || *found == program, "a number resolved to another programme");
}

} // namespace vandra::fuzz
