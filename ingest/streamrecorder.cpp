#include "ingest/streamrecorder.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/clock.h"
#include "core/logger.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "leftserver";
constexpr std::int64_t kFlushIntervalMs = 1000;
constexpr std::int64_t kOpenRetryMs = 1000;
constexpr std::int64_t kReopenAfterWriteErrorMs = 10'000;
constexpr auto kWriteInterval = std::chrono::milliseconds(100);
// About 8 s at 16 Mbit/s: room for a disk that stalls for a moment.
constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
} // namespace

void StreamRecorder::FileCloser::operator()(std::FILE* file) const {
    std::fclose(file);
}

StreamRecorder::StreamRecorder(NameMaker makeName)
    : makeName_(makeName ? std::move(makeName) : &StreamRecorder::dumpFileName) {}

StreamRecorder::~StreamRecorder() {
    {
        MutexLock lock(queueMutex_);
        stopping_ = true;
    }
    wakeUp_.notify_all();
    if (thread_ && thread_->joinable()) {
        thread_->join();
    }
    close();
    std::unique_ptr<std::thread> closer;
    {
        MutexLock lock(queueMutex_);
        closer = std::move(closer_);
    }
    if (closer && closer->joinable()) {
        closer->join();
    }
}

std::string StreamRecorder::dumpFileName(std::int64_t wallMs) {
    return "server_" + localTimeText(wallMs, "%Y-%m-%d_%H-%M-%S") + ".ts";
}

void StreamRecorder::start() {
    MutexLock lock(queueMutex_);
    if (started_ || closed_) {
        return;
    }
    started_ = true;
    thread_ = std::make_unique<std::thread>(&StreamRecorder::run, this);
}

void StreamRecorder::record(const std::uint8_t* chunk, std::int32_t length) {
    MutexLock lock(queueMutex_);
    if (!started_ || closed_ || closing_) {
        return;
    }
    if (pending_.size() + static_cast<std::size_t>(length) > kMaxQueuedBytes) {
        ++droppedChunks_;
        return;
    }
    if (pending_.empty()) {
        pendingSinceMs_ = wallMs();
    }
    pending_.insert(pending_.end(), chunk, chunk + length);
    ++pendingChunks_;
}

void StreamRecorder::close(std::chrono::milliseconds bound) {
    {
        MutexLock lock(queueMutex_);
        closing_ = true;
        if (!closer_) {
            closer_ = std::make_unique<std::thread>(&StreamRecorder::closeNow, this);
        }
    }
    if (!waitClosed(bound)) {
        reportUnwritten(bound);
    }
}

bool StreamRecorder::waitClosed(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    UniqueLock lock(queueMutex_);
    while (!closeDone_) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return false;
        }
        lock.waitFor(closeFinished_, left);
    }
    return true;
}

void StreamRecorder::reportUnwritten(std::chrono::milliseconds bound) {
    std::int64_t bytes = batchBytes_.load();
    std::int64_t chunks = batchChunks_.load();
    {
        MutexLock lock(queueMutex_);
        bytes += static_cast<std::int64_t>(pending_.size());
        chunks += pendingChunks_;
    }
    // What sits in the C library's buffer is lost as well, hence "at least".
    LOG_LINE << "-- recording left unclosed after " << std::chrono::duration<double>(bound).count()
             << " s waiting for the disk: at least " << bytes << " bytes (" << chunks
             << " chunks) not written";
}

void StreamRecorder::closeNow() {
    {
        MutexLock file(fileMutex_);
        writeQueued(true);
        if (file_ && std::fflush(file_.get()) != 0) {
            const int error = errno;
            LOG_LINE << "-- recording flush failed on " << fileName_ << ": "
                     << std::strerror(error);
        }
        file_.reset();
    }
    {
        MutexLock lock(queueMutex_);
        closeDone_ = true;
    }
    closeFinished_.notify_all();
}

void StreamRecorder::run() {
    while (waitForWork()) {
        MutexLock file(fileMutex_);
        writeQueued(false);
    }
}

bool StreamRecorder::waitForWork() {
    UniqueLock lock(queueMutex_);
    if (!stopping_) {
        lock.waitFor(wakeUp_, kWriteInterval);
    }
    return !stopping_;
}

void StreamRecorder::writeQueued(bool closing) {
    std::int64_t dropped = 0;
    {
        MutexLock queue(queueMutex_);
        if (closed_) {
            return;
        }
        closed_ = closing;
        std::swap(pending_, batch_);
        batchSinceMs_ = pendingSinceMs_;
        batchBytes_ = static_cast<std::int64_t>(batch_.size());
        batchChunks_ = std::exchange(pendingChunks_, 0);
        dropped = droppedChunks_;
    }
    const std::int64_t now = steadyMs();
    reportDrops(dropped, now);
    if (!batch_.empty()) {
        writeBatch(now);
        batch_.clear();
        batchBytes_ = 0;
        batchChunks_ = 0;
    }
    flushIfDue(now);
}

bool StreamRecorder::ensureOpen(std::int64_t nowMs) {
    if (file_) {
        return true;
    }
    if (nowMs < nextOpenMs_) {
        return false;
    }
    if (!announced_) {
        LOG_LINE << "start write to file ";
        announced_ = true;
    }
    fileName_ = makeName_(batchSinceMs_);
    file_.reset(std::fopen(fileName_.c_str(), "wb"));
    if (!file_) {
        const int error = errno;
        ++failedOpens_;
        nextOpenMs_ = nowMs + kOpenRetryMs;
        if (openFailureLog_.allow(nowMs)) {
            LOG_LINE << "-- cannot open the recording file " << fileName_ << ": "
                     << std::strerror(error) << " (" << failedOpens_
                     << " attempts so far; retrying every second)";
        }
        return false;
    }
    if (failedOpens_ > 0) {
        LOG_LINE << "-- recording to " << fileName_ << " after " << failedOpens_
                 << " failed attempts";
        failedOpens_ = 0;
    }
    lastFlushMs_ = nowMs;
    return true;
}

void StreamRecorder::writeBatch(std::int64_t nowMs) {
    if (!ensureOpen(nowMs)) {
        return; // chunks that find no open file are not recorded
    }
    if (std::fwrite(batch_.data(), 1, batch_.size(), file_.get()) != batch_.size()) {
        failWrite("write", nowMs);
    }
}

void StreamRecorder::flushIfDue(std::int64_t nowMs) {
    // A crash then loses at most about a second of the recording.
    if (file_ && nowMs - lastFlushMs_ >= kFlushIntervalMs) {
        lastFlushMs_ = nowMs;
        if (std::fflush(file_.get()) != 0) {
            failWrite("flush", nowMs);
        }
    }
}

void StreamRecorder::failWrite(const char* what, std::int64_t nowMs) {
    const int error = errno;
    LOG_LINE << "-- recording " << what << " failed on " << fileName_ << ": "
             << std::strerror(error) << "; file closed, a new one in 10 s";
    file_.reset();
    announced_ = false;
    nextOpenMs_ = nowMs + kReopenAfterWriteErrorMs;
}

void StreamRecorder::reportDrops(std::int64_t dropped, std::int64_t nowMs) {
    if (dropped > dropsReported_ && dropLog_.allow(nowMs)) {
        LOG_LINE << "-- recording cannot keep up with the input: " << dropped
                 << " chunks not recorded so far";
        dropsReported_ = dropped;
    }
}

} // namespace vandra
