#include <chrono>
#include <fcntl.h>
#include <optional>
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
           " padding to make "
           "it longer\n";
}

// The drop notice that ends `text` ("-- N log lines dropped: the log output was blocked for
// T.T s  logger  L"): its count and what came before it; nothing when `text` ends otherwise.
// (Parsed by hand: std::regex trips GCC 12's uninitialised-use warning in sanitizer builds.)
struct DropNotice {
    std::uint64_t count = 0;
    std::string before;
};

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<DropNotice> dropNoticeAtEnd(const std::string& text) {
    const std::string middle = " log lines dropped: the log output was blocked for ";
    const std::size_t at = text.rfind(middle);
    const std::size_t start = text.rfind("-- ", at);
    const std::size_t unit = text.find(" s  logger  ", at);
    if (at == std::string::npos || start == std::string::npos || unit == std::string::npos ||
        text.back() != '\n') {
        return std::nullopt;
    }
    const std::string count = text.substr(start + 3, at - start - 3);
    const std::string seconds = text.substr(at + middle.size(), unit - at - middle.size());
    const std::string line = text.substr(unit + 12, text.size() - unit - 13);
    const std::size_t point = seconds.find('.');
    if (!allDigits(count) || point == std::string::npos || !allDigits(seconds.substr(0, point)) ||
        !allDigits(seconds.substr(point + 1)) || !allDigits(line)) {
        return std::nullopt;
    }
    return DropNotice{std::stoull(count), text.substr(0, start)};
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
    const std::optional<DropNotice> notice = dropNoticeAtEnd(text);
    ASSERT_TRUE(notice) << text.substr(0, 200);
    EXPECT_EQ(notice->count, dropped);
    const int kept = kLines - static_cast<int>(dropped);
    std::string expected = Pipe::kFiller;
    for (int index = 0; index < kept; ++index) {
        expected += numbered(0, index);
    }
    EXPECT_EQ(notice->before, expected) << "the lines before the drop, all and in order";

    ASSERT_TRUE(queue.flush(std::chrono::seconds(5))); // the room is given back after a batch
    queue.push(LogStream::out, "after the gap\n");
    EXPECT_EQ(pipe.readUntil("after the gap\n"), text + "after the gap\n");
    EXPECT_TRUE(queue.flush(std::chrono::seconds(5)));
}

} // namespace
} // namespace vandra
