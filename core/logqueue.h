#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace vandra {

enum class LogStream { out, err };

// Finished log lines from any thread, written in order by one writer thread of the queue's own,
// so that an output that blocks (a full pipe, a paused terminal, a slow journal) never stops the
// thread that logs. When the queue is full, lines are dropped and counted; once the output moves
// again one line says how many and for how long. Thread safe.
class LogQueue {
public:
    // Writes standard-output lines to `outFd` and standard-error lines to `errFd`; holds at most
    // `capacityBytes` of text not yet written.
    LogQueue(std::size_t capacityBytes, int outFd, int errFd);
    // Writes out what is queued, waiting at most a second; a writer still blocked after that is
    // left behind and ends on its own.
    ~LogQueue();
    LogQueue(const LogQueue&) = delete;
    LogQueue& operator=(const LogQueue&) = delete;

    // Queues one line (line feed included), or drops it when the queue is full.
    void push(LogStream stream, std::string text);
    // Waits until every line queued before the call is written, at most `timeout`; true when
    // they were.
    bool flush(std::chrono::milliseconds timeout);
    // Lines dropped or lost to a failed write since the start.
    std::uint64_t dropped() const;

private:
    struct Entry;
    struct State;
    static void run(std::shared_ptr<State> state);
    static std::size_t writeBatch(State& state, const std::deque<Entry>& batch);

    // shared with the writer thread, which may outlive the queue while blocked in a write
    std::shared_ptr<State> state_;
};

} // namespace vandra
