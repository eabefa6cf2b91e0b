#include "core/logger.h"

#include <cstdio>
#include <utility>

#include "core/mutex.h"

namespace vandra {

namespace {
struct Output {
    Mutex mutex;
    LogSink sink GUARDED_BY(mutex); // empty: standard output
};

Output& output() {
    static Output instance;
    return instance;
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
    Output& out = output();
    MutexLock lock(out.mutex);
    if (out.sink) {
        out.sink(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

} // namespace vandra
