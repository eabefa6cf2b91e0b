#include "app/testoverrides.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "core/chunk.h"
#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "main";
constexpr const char* kMaxBacklogVariable = "VANDRA_TEST_MAX_BACKLOG_BYTES";

// A whole chunk at least, or no caller could ever be buffered.
std::optional<std::int32_t> readBacklogCap() {
    const char* text = std::getenv(kMaxBacklogVariable);
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::optional<std::int32_t> value = toInt32(text);
    if (!value || *value < kChunkSize) {
        LOG_LINE << "-- test override " << kMaxBacklogVariable
                 << " ignored: " << escapeForLog(text);
        return std::nullopt;
    }
    return value;
}
} // namespace

TestOverrides TestOverrides::fromEnvironment() {
    TestOverrides overrides;
    if (const std::optional<std::int32_t> cap = readBacklogCap()) {
        overrides.maxBacklogBytes_ = *cap;
        LOG_LINE << "-- test override in effect: a caller's backlog is capped at " << *cap
                 << " bytes";
    }
    return overrides;
}

void TestOverrides::applyTo(SrtListenParams& srt) const {
    srt.maxBacklogBytes = maxBacklogBytes_;
}

} // namespace vandra
