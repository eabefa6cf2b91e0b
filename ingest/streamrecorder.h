#pragma once

#include <cstdint>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>

namespace vandra {

// Records the input's chunks to server_YYYY-MM-DD_HH-MM-SS.ts in the working directory,
// opened at the first chunk. Written by the receiver thread; flush and close may come from
// the signal thread, hence the lock.
class StreamRecorder {
public:
    // Writes one chunk, opening the file first when it is not open (a failed open is tried
    // again at the next chunk). Flushes when the last flush is a second old.
    void record(const std::uint8_t* chunk, std::int32_t length, std::int64_t nowMs);
    void flush();
    // Flushes and closes; later chunks are not recorded.
    void close();

    static std::string dumpFileName();
    static std::string dumpFileName(std::time_t when);

private:
    void openFile();

    // guards file_, lastFlushMs_ and closed_
    std::mutex mutex_;
    std::ofstream file_;
    std::int64_t lastFlushMs_ = 0;
    bool closed_ = false;
};

} // namespace vandra
