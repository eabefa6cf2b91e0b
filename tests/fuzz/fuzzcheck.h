#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

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

inline bool isCBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool hasOuterBlank(const std::string& text) {
    return !text.empty() && (isCBlank(text.front()) || isCBlank(text.back()));
}

inline bool isAllBlank(const std::string& text) {
    for (char c : text) {
        if (!isCBlank(c)) {
            return false;
        }
    }
    return true;
}

// At fuzzing speed the server's log lines are only noise around libFuzzer's report.
inline void silenceLog() {
    setLogSink([](const std::string&) {});
}

} // namespace vandra::fuzz
