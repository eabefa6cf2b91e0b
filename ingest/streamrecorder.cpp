#include "ingest/streamrecorder.h"

#include <chrono>
#include <iomanip>
#include <sstream>

#include "app/logger.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "leftserver";
constexpr std::int64_t kFlushIntervalMs = 1000;
} // namespace

std::string StreamRecorder::dumpFileName(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    std::ostringstream name;
    name << "server_" << std::put_time(&local, "%Y-%m-%d_%H-%M-%S.ts");
    return name.str();
}

std::string StreamRecorder::dumpFileName() {
    return dumpFileName(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

void StreamRecorder::openFile() {
    const std::string name = dumpFileName();
    LOG_LINE << "start write to file ";
    file_.clear();
    file_.open(name, std::ios::out | std::ios::binary | std::ios::trunc);
}

void StreamRecorder::record(const std::uint8_t* chunk, std::int32_t length, std::int64_t nowMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        return;
    }
    if (!file_.is_open()) {
        openFile();
        lastFlushMs_ = nowMs;
        if (!file_.is_open()) {
            return;
        }
    }
    file_.write(reinterpret_cast<const char*>(chunk), length);
    // A crash then loses at most about a second of the recording.
    if (nowMs - lastFlushMs_ >= kFlushIntervalMs) {
        file_.flush();
        lastFlushMs_ = nowMs;
    }
}

void StreamRecorder::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.is_open()) {
        file_.flush();
    }
}

void StreamRecorder::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    if (file_.is_open()) {
        file_.close();
    }
}

} // namespace vandra
