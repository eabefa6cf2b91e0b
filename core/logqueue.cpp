#include "core/logqueue.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <iomanip>
#include <pthread.h>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <utility>

#include "core/clock.h"
#include "core/mutex.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "logger";
constexpr auto kStopFlushBound = std::chrono::seconds(1);
constexpr auto kIdleWait = std::chrono::seconds(1);
constexpr std::size_t kWriteBytes = 64 * 1024;

// A failure cannot be logged: the log is what failed. The caller counts the line as lost.
bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// The writer must not take SIGINT or SIGTERM meant for the signal watcher, whenever the first
// line (and so this thread) comes.
void blockAllSignals() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

std::string dropNotice(std::uint64_t lines, std::int64_t blockedMs) {
    std::ostringstream text;
    text << "-- " << lines << " log lines dropped: the log output was blocked for " << std::fixed
         << std::setprecision(1) << static_cast<double>(blockedMs) / 1000.0 << " s"
         << "  " << kLogUnit << "  " << __LINE__ << '\n';
    return text.str();
}
} // namespace

struct LogQueue::Entry {
    LogStream stream;
    std::string text;
};

struct LogQueue::State {
    State(std::size_t capacity, int out, int err)
        : capacityBytes(capacity), outFd(out), errFd(err) {}

    void accept(Entry entry) REQUIRES(mutex) {
        queuedBytes += entry.text.size();
        queue.push_back(std::move(entry));
        ++accepted;
    }
    void noteDrop() REQUIRES(mutex) {
        if (pendingDrops++ == 0) {
            blockedSinceMs = writing ? writingSinceMs : steadyMs();
        }
        droppedTotal.fetch_add(1, std::memory_order_relaxed);
    }
    // Goes after the lines queued before the drops began; the notice itself is never dropped.
    void queueDropNotice() REQUIRES(mutex) {
        accept({LogStream::out, dropNotice(pendingDrops, steadyMs() - blockedSinceMs)});
        pendingDrops = 0;
    }

    const std::size_t capacityBytes;
    const int outFd;
    const int errFd;

    // guards the queue and the writer's progress
    Mutex mutex;
    std::condition_variable wake;    // the writer: lines came or the queue stops
    std::condition_variable written; // flushers: a batch is out
    std::deque<Entry> queue GUARDED_BY(mutex);
    std::size_t queuedBytes GUARDED_BY(mutex) = 0; // queued plus the batch being written
    std::uint64_t accepted GUARDED_BY(mutex) = 0;
    std::uint64_t done GUARDED_BY(mutex) = 0; // accepted lines written (or lost)
    bool waiting GUARDED_BY(mutex) = false;   // the writer sleeps on `wake`
    bool writing GUARDED_BY(mutex) = false;
    std::int64_t writingSinceMs GUARDED_BY(mutex) = 0;
    std::uint64_t pendingDrops GUARDED_BY(mutex) = 0; // not yet reported
    std::int64_t blockedSinceMs GUARDED_BY(mutex) = 0;
    bool stopping GUARDED_BY(mutex) = false;
    std::atomic<std::uint64_t> droppedTotal{0};
};

LogQueue::LogQueue(std::size_t capacityBytes, int outFd, int errFd)
    : state_(std::make_shared<State>(capacityBytes, outFd, errFd)) {
    std::thread(&LogQueue::run, state_).detach();
}

LogQueue::~LogQueue() {
    flush(kStopFlushBound);
    {
        MutexLock lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
}

void LogQueue::push(LogStream stream, std::string text) {
    State& s = *state_;
    bool wakeWriter = false;
    {
        MutexLock lock(s.mutex);
        if (s.queuedBytes + text.size() > s.capacityBytes) {
            s.noteDrop();
            return;
        }
        wakeWriter = s.waiting;
        s.accept({stream, std::move(text)});
    }
    // A busy writer looks at the queue again before it sleeps: no wake-up call needed.
    if (wakeWriter) {
        s.wake.notify_one();
    }
}

bool LogQueue::flush(std::chrono::milliseconds timeout) {
    State& s = *state_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    UniqueLock lock(s.mutex);
    const std::uint64_t target = s.accepted;
    while (s.done < target) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return false;
        }
        lock.waitFor(s.written, left);
    }
    return true;
}

std::uint64_t LogQueue::dropped() const {
    return state_->droppedTotal.load(std::memory_order_relaxed);
}

std::size_t LogQueue::writeBatch(State& s, const std::deque<Entry>& batch) {
    std::size_t bytes = 0;
    std::string joined;
    std::uint64_t lines = 0;
    const auto writeJoined = [&](LogStream stream) {
        if (lines > 0 && !writeAll(stream == LogStream::err ? s.errFd : s.outFd, joined)) {
            s.droppedTotal.fetch_add(lines, std::memory_order_relaxed);
        }
        joined.clear();
        lines = 0;
    };
    // Neighbours bound for the same output go out in one write.
    for (std::size_t at = 0; at < batch.size(); ++at) {
        const Entry& entry = batch[at];
        joined += entry.text;
        bytes += entry.text.size();
        ++lines;
        const bool last = at + 1 == batch.size();
        if (last || batch[at + 1].stream != entry.stream || joined.size() >= kWriteBytes) {
            writeJoined(entry.stream);
        }
    }
    return bytes;
}

void LogQueue::run(std::shared_ptr<State> state) {
    blockAllSignals();
    State& s = *state;
    for (;;) {
        std::deque<Entry> batch;
        {
            UniqueLock lock(s.mutex);
            while (s.queue.empty() && !s.stopping) {
                s.waiting = true;
                lock.waitFor(s.wake, kIdleWait);
                s.waiting = false;
            }
            if (s.queue.empty()) {
                return;
            }
            batch.swap(s.queue);
            s.writing = true;
            s.writingSinceMs = steadyMs();
        }
        const std::size_t bytes = writeBatch(s, batch);
        {
            MutexLock lock(s.mutex);
            s.writing = false;
            s.queuedBytes -= bytes;
            s.done += batch.size();
            if (s.pendingDrops > 0) {
                s.queueDropNotice();
            }
        }
        s.written.notify_all();
    }
}

} // namespace vandra
