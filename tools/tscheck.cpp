// vandra-tscheck: checks a file of received bytes (or stdin with "-") against the tsframe test
// stream: whole packets only, no corruption, no gap or duplicate in the sequence.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>
#include <vector>

#include "tools/toolcommon.h"
#include "tools/tsframe.h"

namespace vandra {
namespace {

constexpr std::size_t kReadPackets = 4096;
constexpr int kMaxFaultReports = 10;

struct Result {
    std::uint64_t bytes = 0;
    std::uint64_t packets = 0;
    std::uint64_t corrupt = 0;
    std::uint64_t trailingBytes = 0;
    tsframe::SequenceTracker sequence;
};

void checkPackets(std::span<const std::uint8_t> data, Result& result) {
    for (std::size_t at = 0; at < data.size(); at += tsframe::kPacketSize) {
        const tsframe::Verdict verdict =
            tsframe::verifyPacket(data.subspan(at).first<tsframe::kPacketSize>());
        if (!verdict.ok()) {
            if (result.corrupt < kMaxFaultReports) {
                std::fprintf(stderr, "packet at byte %llu: %s\n",
                             static_cast<unsigned long long>(result.bytes - data.size() + at),
                             tsframe::faultName(verdict.fault));
            }
            ++result.corrupt;
            continue;
        }
        ++result.packets;
        result.sequence.observe(verdict.seq);
    }
}

// Reads in whole-packet blocks; only a short read at the end can leave a partial packet.
bool checkStream(std::FILE* input, Result& result) {
    std::vector<std::uint8_t> buffer(kReadPackets * tsframe::kPacketSize);
    std::size_t filled = 0;
    while (true) {
        const std::size_t got =
            std::fread(buffer.data() + filled, 1, buffer.size() - filled, input);
        if (got == 0) {
            break;
        }
        filled += got;
        result.bytes += got;
        const std::size_t whole = filled - filled % tsframe::kPacketSize;
        checkPackets(std::span(buffer.data(), whole), result);
        std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(whole),
                  buffer.begin() + static_cast<std::ptrdiff_t>(filled), buffer.begin());
        filled -= whole;
    }
    result.trailingBytes = filled;
    return std::ferror(input) == 0;
}

void printResult(const Result& result) {
    const tsframe::SequenceTracker& sequence = result.sequence;
    tool::JsonLine()
        .number("bytes", result.bytes)
        .number("packets", result.packets)
        .numberOrNull("first_seq", sequence.started(), sequence.first())
        .numberOrNull("last_seq", sequence.started(), sequence.last())
        .number("gaps", sequence.gaps())
        .number("corrupt", result.corrupt)
        .number("trailing_bytes", result.trailingBytes)
        .number("duplicates", sequence.duplicates())
        .print();
}

bool passed(const Result& result) {
    return result.packets > 0 && result.sequence.gaps() == 0 && result.sequence.duplicates() == 0 &&
           result.corrupt == 0 && result.trailingBytes == 0;
}

} // namespace
} // namespace vandra

int main(int argc, char** argv) {
    using namespace vandra;
    if (argc != 2) {
        std::fprintf(stderr, "usage: vandra-tscheck FILE   (\"-\" reads stdin)\n");
        return tool::kExitUsage;
    }
    const std::string_view path = argv[1];
    std::FILE* input = path == "-" ? stdin : std::fopen(argv[1], "rb");
    if (input == nullptr) {
        std::perror(argv[1]);
        return tool::kExitUsage;
    }
    Result result;
    const bool readAll = checkStream(input, result);
    if (input != stdin) {
        std::fclose(input);
    }
    if (!readAll) {
        std::fprintf(stderr, "read error on %s\n", argv[1]);
    }
    printResult(result);
    return readAll && passed(result) ? 0 : tool::kExitFailed;
}
