#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
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

// Hands each "--name value" pair, and each value-less flag (with a null value), to `take`.
// False, with the reason on stderr, on --help, a missing value or one `take` refuses.
template <typename Take>
bool parseArgs(int argc, char** argv, std::initializer_list<std::string_view> flags, Take take) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            return false;
        }
        const bool flag = std::find(flags.begin(), flags.end(), name) != flags.end();
        const char* value = flag || i + 1 >= argc ? nullptr : argv[++i];
        if ((!flag && value == nullptr) || !take(name, value)) {
            std::fprintf(stderr, "bad option %.*s %s\n", static_cast<int>(name.size()), name.data(),
                         value != nullptr ? value : "(missing)");
            return false;
        }
    }
    return true;
}

} // namespace vandra::cli
