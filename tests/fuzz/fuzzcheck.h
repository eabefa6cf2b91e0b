#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/logger.h"

// Invariant checks for the fuzz targets: a broken invariant aborts, which libFuzzer reports
// as a crash and saves the input that caused it.
namespace vandra::fuzz {

inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The blanks of the C locale, which the server's trimming uses.
inline constexpr std::string_view kCBlanks = " \t\n\v\f\r";

inline bool isCBlank(char c) {
    return kCBlanks.find(c) != std::string_view::npos;
}

inline bool hasOuterBlank(const std::string& text) {
    return !text.empty() && (isCBlank(text.front()) || isCBlank(text.back()));
}

// At fuzzing speed the server's log lines are only noise around libFuzzer's report.
inline void silenceLog() {
    setLogSink([](const std::string&) {});
}

// The fuzzer's bytes read as a stream of operands; past the end every read is zero.
class InputBytes {
public:
    InputBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t next() { return empty() ? 0 : data_[at_++]; }
    std::uint16_t next16() { return static_cast<std::uint16_t>(next() << 8 | next()); }
    std::vector<std::uint8_t> take(std::size_t count) {
        const std::size_t taken = std::min(count, size_ - std::min(at_, size_));
        std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + taken);
        at_ += taken;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Each target defines this; fuzzentry.cpp holds libFuzzer's entry points for all of them.
void checkInput(const std::uint8_t* data, std::size_t size);

} // namespace vandra::fuzz
