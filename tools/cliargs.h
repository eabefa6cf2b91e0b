#pragma once

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Strict number parsing for the tools' command lines: a typo must be a usage error, never a
// silently different test.
namespace vandra::cli {

inline bool parseU64(const char* text, std::uint64_t& out) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    out = value;
    return true;
}

inline bool parseDouble(const char* text, double& out) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0) {
        return false;
    }
    out = value;
    return true;
}

// Walks argv; value() hands out the argument after the current option, or nullptr when the
// command line ends there.
class ArgCursor {
public:
    ArgCursor(int argc, char** argv) : argc_(argc), argv_(argv) {}

    bool next() { return ++index_ < argc_; }
    std::string_view current() const { return argv_[index_]; }
    const char* value() { return index_ + 1 < argc_ ? argv_[++index_] : nullptr; }

private:
    int argc_;
    char** argv_;
    int index_ = 0;
};

} // namespace vandra::cli
