#include "app/logger.h"

#include <cstdio>
#include <mutex>

namespace vandra {

namespace {
std::mutex& outputMutex() {
    // guards stdout, so that a line is written whole
    static std::mutex mutex;
    return mutex;
}
} // namespace

LogLine::~LogLine() {
    text_ << "  " << unit_ << "  " << line_ << '\n';
    writeLogText(text_.str());
}

void writeLogText(const std::string& text) {
    std::lock_guard<std::mutex> lock(outputMutex());
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace vandra
