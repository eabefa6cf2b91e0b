#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/logqueue.h"

namespace vandra {
namespace {

using std::chrono::steady_clock;

// A pipe the test reads (or leaves unread, to block the writer).
class Pipe {
public:
    Pipe() {
        EXPECT_EQ(::pipe(fds_), 0);
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Cuts the pipe to one page and fills it, so that the queue's first write blocks and no
    // batch gets out before the test reads.
    void block() {
        ASSERT_EQ(::fcntl(fds_[1], F_SETPIPE_SZ, 4096), 4096);
        ASSERT_EQ(::write(fds_[1], kFiller.data(), kFiller.size()), 4096);
    }
    static inline const std::string kFiller = std::string(4096, '.');
    int writeEnd() const { return fds_[1]; }

    // Reads until the line with `needle` has arrived whole, or 10 s passed; returns all text
    // read so far.
    const std::string& readUntil(const std::string& needle) {
        const auto deadline = steady_clock::now() + std::chrono::seconds(10);
        while (!hasWholeLineWith(needle) && steady_clock::now() < deadline) {
            pollfd readable{fds_[0], POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::read(fds_[0], buffer, sizeof(buffer));
            if (got > 0) {
                text_.append(buffer, static_cast<std::size_t>(got));
            }
        }
        return text_;
    }

private:
    bool hasWholeLineWith(const std::string& needle) const {
        const std::size_t at = text_.find(needle);
        return at != std::string::npos && text_.find('\n', at) != std::string::npos;
    }

    int fds_[2] = {-1, -1};
    std::string text_;
};

std::string numbered(int thread, int index) {
    return "line " + std::to_string(thread) + " " + std::to_string(index) +
           " padding to make it longer\n";
}

// Guards lines of one thread overtaking each other, or a standard-error line losing its place.
TEST(LogQueue, KeepsEachThreadsOrderAndTheErrorLinesPlace) {
    Pipe pipe;
    constexpr int kThreads = 4;
    constexpr int kLines = 2000;
    {
        LogQueue queue(4 * 1024 * 1024, pipe.writeEnd(), pipe.writeEnd());
        std::vector<std::thread> threads;
        for (int thread = 0; thread < kThreads; ++thread) {
            threads.emplace_back([&queue, thread] {
                for (int index = 0; index < kLines; ++index) {
                    queue.push(index % 2 ? LogStream::err : LogStream::out,
                               numbered(thread, index));
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        queue.push(LogStream::out, "end\n");
        pipe.readUntil("end\n");
        EXPECT_TRUE(queue.flush(std::chrono::seconds(5)));
        EXPECT_EQ(queue.dropped(), 0u);
    }
    const std::string& text = pipe.readUntil("end\n");
    std::vector<int> next(kThreads, 0);
    std::size_t at = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         at = end + 1, end = text.find('\n', at)) {
        const std::string line = text.substr(at, end - at + 1);
        if (line == "end\n") {
            break;
        }
        const int thread = line[5] - '0';
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
        ASSERT_EQ(line, numbered(thread, next[thread])) << "out of order";
        ++next[thread];
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

// Guards a blocked output stopping the thread that logs, drops going uncounted, or the
// report of them never coming (or coming in the wrong place) once the output moves again.
TEST(LogQueue, DropsWhileTheOutputIsBlockedAndSaysSoWhenItMovesAgain) {
    Pipe pipe;
    pipe.block();
    constexpr int kLines = 2000;
    LogQueue queue(16 * 1024, pipe.writeEnd(), pipe.writeEnd());
    for (int index = 0; index < kLines; ++index) { // nobody reads: pushing must never wait
        queue.push(LogStream::out, numbered(0, index));
    }
    const std::uint64_t dropped = queue.dropped();
    ASSERT_GT(dropped, 0u);
    ASSERT_LT(dropped, static_cast<std::uint64_t>(kLines));
    EXPECT_FALSE(queue.flush(std::chrono::milliseconds(100)));

    const std::string text = pipe.readUntil(" s  logger  ");
    std::string expected = Pipe::kFiller; // the lines before the drop, all and in order
    for (int index = 0; index < kLines - static_cast<int>(dropped); ++index) {
        expected += numbered(0, index);
    }
    expected +=
        "-- " + std::to_string(dropped) + " log lines dropped: the log output was blocked for ";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
    EXPECT_EQ(text.find('\n', expected.size()), text.size() - 1) << "the notice ends the text";

    ASSERT_TRUE(queue.flush(std::chrono::seconds(5))); // the room is given back after a batch
    queue.push(LogStream::out, "after the gap\n");
    EXPECT_EQ(pipe.readUntil("after the gap\n"), text + "after the gap\n");
    EXPECT_TRUE(queue.flush(std::chrono::seconds(5)));
}

} // namespace
} // namespace vandra
