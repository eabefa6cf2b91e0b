#pragma once

#include <mutex>
#include <string>

#include "core/logger.h"

namespace vandra {

// Collects every log line while it lives, instead of standard output.
class LogCapture {
public:
    LogCapture()
        : previous_(setLogSink([this](const std::string& line) {
              std::lock_guard<std::mutex> lock(mutex_);
              text_ += line;
          })) {}
    ~LogCapture() { setLogSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    int count(const std::string& part) const {
        const std::string all = text();
        int found = 0;
        for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) {
            ++found;
        }
        return found;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
    LogSink previous_;
};

} // namespace vandra
