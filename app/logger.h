#pragma once

#include <sstream>
#include <string>

namespace vandra {

// One log line: the message and its values, two blanks, the unit, two blanks, the source line.
// The finished line is written to stdout by a single call under a lock, so lines of different
// threads never interleave.
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

// Writes one finished line (with its line feed) to stdout and flushes. Thread safe.
void writeLogText(const std::string& text);

} // namespace vandra

// Each source file defines `kLogUnit` once; LOG_LINE adds the line number.
#define LOG_LINE ::vandra::LogLine(kLogUnit, __LINE__)
