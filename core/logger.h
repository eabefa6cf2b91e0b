#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

namespace vandra {

// One log line: the message and its values, two blanks, the unit, two blanks, the source line.
// The finished line goes to the sink (standard output unless a test sets another) in one
// piece, so lines of different threads never interleave. Standard output is written by a
// thread of the log's own (core/logqueue.h): logging never waits for the output.
class LogLine {
public:
    LogLine(const char* unit, int line) : unit_(unit), line_(line) {}
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    template <typename T> LogLine& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    std::ostringstream text_;
    const char* unit_;
    int line_;
};

// Receives every finished line, line feed included.
using LogSink = std::function<void(const std::string& line)>;

// Replaces the sink and returns the one before; an empty sink restores standard output.
// Tests use it to read what was logged.
LogSink setLogSink(LogSink sink);

// Writes one finished line (with its line feed) to the sink. Thread safe.
void writeLogText(const std::string& text);
// The same for a line meant for standard error; it keeps its place among the other lines.
void writeErrorText(const std::string& text);

// Waits until the lines logged so far are out, at most `timeout`; true when they are. For the
// way out of the process.
bool flushLog(std::chrono::milliseconds timeout);

// Lines dropped because the output was blocked (or lost to a failed write) since the start.
std::uint64_t logLinesDropped();

} // namespace vandra

// Each source file defines `kLogUnit` once; LOG_LINE adds the line number.
#define LOG_LINE ::vandra::LogLine(kLogUnit, __LINE__)
