#pragma once

#include <cstdint>
#include <string>

namespace vandra {

// Wall-clock milliseconds since 1970-01-01 00:00 UTC: for times that are shown or stored.
std::int64_t wallMs();
// Milliseconds of a clock that never steps: for intervals, which a wall-clock step (NTP, a
// manual change) would make negative or huge.
std::int64_t steadyMs();
// The same clock in microseconds: for pacing, where a millisecond is a dozen packets.
std::int64_t steadyUs();
// A wall-clock time as local time in a strftime format, e.g. "%Y-%m-%d %H:%M:%S".
std::string localTimeText(std::int64_t wallMs, const char* format);

} // namespace vandra
