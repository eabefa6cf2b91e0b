#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <netinet/in.h>
#include <string>
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

// IP:PORT, both parts required, the port 1 to 65535.
inline bool parseAddress(const char* text, sockaddr_in& out) {
    const std::string value = text;
    const std::size_t colon = value.rfind(':');
    std::uint64_t port = 0;
    if (colon == std::string::npos || !parseU64(value.c_str() + colon + 1, port) || port == 0 ||
        port > 65535) {
        return false;
    }
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<std::uint16_t>(port));
    return inet_pton(AF_INET, value.substr(0, colon).c_str(), &out.sin_addr) == 1;
}

} // namespace vandra::cli
