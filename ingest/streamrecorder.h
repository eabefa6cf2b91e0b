#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "core/ratelimiter.h"

namespace vandra {

// Records the input's chunks to server_YYYY-MM-DD_HH-MM-SS.ts in the working directory,
// opened at the first chunk. The receiver only queues chunks; a thread of the recorder's own
// opens, writes and flushes, so a slow or failing disk never delays the callers. A failed open
// is retried once a second, a failed write closes the file and a new one is tried 10 s later;
// both are logged with their reason, at most once every 10 s. Closing waits for the disk a
// bounded time, so that a stalled disk cannot hold the process on its way out.
class StreamRecorder {
public:
    // Names each new file from the wall-clock time of its first chunk; the default is
    // dumpFileName.
    using NameMaker = std::function<std::string(std::int64_t wallMs)>;

    explicit StreamRecorder(NameMaker makeName = {});
    // Writes out what is queued, closes the file and joins the writer thread.
    ~StreamRecorder();
    StreamRecorder(const StreamRecorder&) = delete;
    StreamRecorder& operator=(const StreamRecorder&) = delete;

    // Starts the writer thread; chunks are recorded only from here on.
    void start() EXCLUDES(queueMutex_);
    // Receiver thread: queues one chunk. Never waits for the disk; when the writer is far
    // behind, the chunk is dropped and counted.
    void record(const std::uint8_t* chunk, std::int32_t length) EXCLUDES(queueMutex_);
    // Writes out what is queued and closes; later chunks are not recorded. Waits at most
    // `bound` for the disk, then logs what is not written yet and returns, leaving the rest to
    // a thread of its own. Any thread, also on the way out of the process.
    void close(std::chrono::milliseconds bound = kCloseBound) EXCLUDES(fileMutex_, queueMutex_);

    static constexpr std::chrono::milliseconds kCloseBound{3000};

    static std::string dumpFileName(std::int64_t wallMs);

private:
    struct FileCloser {
        void operator()(std::FILE* file) const;
    };

    void run() EXCLUDES(fileMutex_, queueMutex_);
    void closeNow() EXCLUDES(fileMutex_, queueMutex_);
    bool waitClosed(std::chrono::milliseconds bound) EXCLUDES(queueMutex_);
    void reportUnwritten(std::chrono::milliseconds bound) EXCLUDES(queueMutex_);
    bool waitForWork() EXCLUDES(queueMutex_);
    void writeQueued(bool closing) REQUIRES(fileMutex_) EXCLUDES(queueMutex_);
    bool ensureOpen(std::int64_t nowMs) REQUIRES(fileMutex_);
    void writeBatch(std::int64_t nowMs) REQUIRES(fileMutex_);
    void failWrite(const char* what, std::int64_t nowMs) REQUIRES(fileMutex_);
    void flushIfDue(std::int64_t nowMs) REQUIRES(fileMutex_);
    void reportDrops(std::int64_t dropped, std::int64_t nowMs);

    const NameMaker makeName_;

    // guards what the receiver hands over; never held while the disk is used
    Mutex queueMutex_ ACQUIRED_AFTER(fileMutex_);
    std::condition_variable wakeUp_;
    std::vector<std::uint8_t> pending_ GUARDED_BY(queueMutex_);
    std::int64_t pendingSinceMs_ GUARDED_BY(queueMutex_) = 0; // wall clock of its first chunk
    bool started_ GUARDED_BY(queueMutex_) = false;
    bool closed_ GUARDED_BY(queueMutex_) = false;
    bool stopping_ GUARDED_BY(queueMutex_) = false;
    std::int64_t droppedChunks_ GUARDED_BY(queueMutex_) = 0;
    std::int64_t pendingChunks_ GUARDED_BY(queueMutex_) = 0;
    bool closing_ GUARDED_BY(queueMutex_) = false;   // no more chunks taken
    bool closeDone_ GUARDED_BY(queueMutex_) = false; // the file is closed
    std::condition_variable closeFinished_;
    std::unique_ptr<std::thread> closer_ GUARDED_BY(queueMutex_); // joined by the destructor

    // guards the file and its retry state; taken before queueMutex_, so that batches are
    // written in the order they were taken from the queue
    Mutex fileMutex_;
    std::vector<std::uint8_t> batch_ GUARDED_BY(fileMutex_);
    std::int64_t batchSinceMs_ GUARDED_BY(fileMutex_) = 0;
    std::atomic<std::int64_t> batchBytes_{0}; // of the batch in hand, for the loss report
    std::atomic<std::int64_t> batchChunks_{0};
    std::unique_ptr<std::FILE, FileCloser> file_ GUARDED_BY(fileMutex_);
    std::string fileName_ GUARDED_BY(fileMutex_);
    std::int64_t nextOpenMs_ GUARDED_BY(fileMutex_) = 0;
    std::int64_t lastFlushMs_ GUARDED_BY(fileMutex_) = 0;
    std::int64_t failedOpens_ GUARDED_BY(fileMutex_) = 0;
    bool announced_ GUARDED_BY(fileMutex_) = false;
    RateLimiter openFailureLog_ GUARDED_BY(fileMutex_){10'000};

    RateLimiter dropLog_{10'000};    // writer thread only
    std::int64_t dropsReported_ = 0; // writer thread only
    std::unique_ptr<std::thread> thread_;
};

} // namespace vandra
