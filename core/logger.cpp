#include "core/logger.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <utility>

#include "core/logqueue.h"
#include "core/mutex.h"

namespace vandra {

namespace {
// By bytes, not lines: a line's length follows outside text (stream ids, paths), and memory is
// what must stay bounded. 4 MiB is some 40 000 usual lines, a long burst.
constexpr std::size_t kQueueKb = 4 * 1024;
// Lets a test see drops without logging megabytes first.
constexpr const char* kQueueSizeVariable = "VANDRA_LOG_QUEUE_KB";

struct Output {
    Mutex mutex;
    LogSink sink GUARDED_BY(mutex); // empty: standard output through the queue
};

Output& output() {
    static Output instance;
    return instance;
}

std::size_t queueBytes() {
    std::size_t kb = kQueueKb;
    if (const char* text = std::getenv(kQueueSizeVariable)) {
        const char* end = text + std::strlen(text);
        std::size_t value = 0;
        if (const auto [at, error] = std::from_chars(text, end, value);
            error == std::errc() && at == end && value > 0) {
            kb = value;
        }
    }
    return kb * 1024;
}

LogQueue& queue() {
    static LogQueue instance(queueBytes(), STDOUT_FILENO, STDERR_FILENO);
    return instance;
}

void writeText(LogStream stream, const std::string& text) {
    {
        Output& out = output();
        MutexLock lock(out.mutex);
        if (out.sink) {
            out.sink(text);
            return;
        }
    }
    queue().push(stream, text);
}
} // namespace

LogLine::~LogLine() {
    text_ << "  " << unit_ << "  " << line_ << '\n';
    writeLogText(text_.str());
}

LogSink setLogSink(LogSink sink) {
    Output& out = output();
    MutexLock lock(out.mutex);
    return std::exchange(out.sink, std::move(sink));
}

void writeLogText(const std::string& text) {
    writeText(LogStream::out, text);
}

void writeErrorText(const std::string& text) {
    writeText(LogStream::err, text);
}

bool flushLog(std::chrono::milliseconds timeout) {
    return queue().flush(timeout);
}

std::uint64_t logLinesDropped() {
    return queue().dropped();
}

} // namespace vandra
