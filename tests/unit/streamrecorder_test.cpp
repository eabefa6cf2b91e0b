#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/chunk.h"
#include "ingest/streamrecorder.h"
#include "logcapture.h"
#include "pagepipe.h"

namespace vandra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StreamRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("recorder_test_" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // A recorder that writes to `path` and counts how often it tried to open a file.
    std::unique_ptr<StreamRecorder> recorderFor(const fs::path& path) {
        auto recorder = std::make_unique<StreamRecorder>([this, path](std::int64_t) {
            ++opens_;
            return path.string();
        });
        recorder->start();
        return recorder;
    }
    // Feeds one chunk a millisecond, as a steady input would, until `done` holds (for ten
    // seconds at most); how long that took.
    std::chrono::milliseconds feedUntil(StreamRecorder& recorder,
                                        const std::function<bool()>& done) {
        const std::vector<std::uint8_t> chunk(kChunkSize, 0x47);
        const auto start = std::chrono::steady_clock::now();
        while (!done() && std::chrono::steady_clock::now() < start + 10s) {
            recorder.record(chunk.data(), kChunkSize);
            std::this_thread::sleep_for(1ms);
        }
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    }

    fs::path folder_;
    std::atomic<int> opens_{0};
    LogCapture log_;
};

// Guards against a folder that cannot be written costing an open() and a log line per chunk
// on the receiver thread: opens once a second, one line per 10 s, and recording starts by
// itself once the folder is there.
TEST_F(StreamRecorderTest, FolderThatCannotBeWrittenIsRetriedOnceASecond) {
    auto recorder = recorderFor(folder_ / "missing" / "b.ts");
    // Three opens take two pauses of a second; a slow machine only makes them longer.
    EXPECT_GE(feedUntil(*recorder, [this] { return opens_ >= 3; }), 1900ms);
    EXPECT_EQ(opens_, 3);
    EXPECT_EQ(log_.count("-- cannot open the recording file "), 1) << log_.text();
    EXPECT_EQ(log_.count("No such file or directory"), 1) << log_.text();
    EXPECT_EQ(log_.count("start write to file "), 1) << log_.text();

    fs::create_directories(folder_ / "missing");
    feedUntil(*recorder, [this] { return log_.count("-- recording to ") > 0; });
    feedUntil(*recorder, [this] {
        std::error_code error;
        return fs::file_size(folder_ / "missing" / "b.ts", error) > 0 && !error;
    });
    EXPECT_GT(fs::file_size(folder_ / "missing" / "b.ts"), 0u);
    recorder.reset();
    EXPECT_EQ(log_.count("-- recording to "), 1) << log_.text();
}

// Guards against write errors after a good open (disk full) being ignored.
TEST_F(StreamRecorderTest, WriteFailureIsLoggedOnceAndTheFileClosed) {
    auto recorder = recorderFor("/dev/full");
    feedUntil(*recorder, [this] { return log_.count("-- recording write failed") > 0; });
    int more = 0; // chunks after the failure change nothing
    feedUntil(*recorder, [&more] { return ++more > 200; });
    recorder.reset();
    EXPECT_EQ(1, log_.count("-- recording write failed on /dev/full: No space left on device; "
                            "file closed, a new one in 10 s"))
        << log_.text();
    EXPECT_EQ(opens_, 1);
}

// A named pipe standing in for a disk that stalls: the recorder's writes block until the test
// reads.
class StalledDisk : public test::PagePipe {
public:
    using PagePipe::PagePipe;

    // True once the writer has begun to write: with more queued than the pipe holds, it is then
    // stuck in a write holding the file. Gives up after 10 s.
    bool waitUntilWriting() const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (queued() > 0) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // Reads until the writer closes the file; gives up after 10 s.
    bool drainUntilClosed() const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        char buffer[65536];
        while (std::chrono::steady_clock::now() < deadline) {
            const ssize_t got = ::read(fd_, buffer, sizeof(buffer));
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                std::this_thread::sleep_for(10ms);
            }
        }
        return false;
    }
};

// Guards the way out of the process hanging on a stalled disk: the writer is stuck in a write
// holding the file, and closing must still return. The bound is 3 s; asserting under 5 s
// leaves 2 s for a loaded machine.
TEST_F(StreamRecorderTest, CloseOnAStalledDiskReturnsInBoundedTimeAndSaysWhatIsLost) {
    StalledDisk disk(folder_ / "stalled.ts");
    auto recorder = recorderFor(folder_ / "stalled.ts");
    const std::vector<std::uint8_t> chunk(kChunkSize, 0x47);
    for (int i = 0; i < 10; ++i) {
        recorder->record(chunk.data(), kChunkSize);
    }
    ASSERT_TRUE(disk.waitUntilWriting());
    for (int i = 0; i < 7; ++i) { // queued behind the stuck write: never reach the disk
        recorder->record(chunk.data(), kChunkSize);
    }
    const auto start = std::chrono::steady_clock::now();
    recorder->close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const std::string text = log_.text();
    const std::string lead = "-- recording left unclosed after 3 s waiting for the disk: at least ";
    const std::size_t line = text.find(lead);
    ASSERT_NE(line, std::string::npos) << text;
    long long bytes = 0;
    long long chunks = 0;
    ASSERT_EQ(
        std::sscanf(text.c_str() + line + lead.size(), "%lld bytes (%lld chunks)", &bytes, &chunks),
        2)
        << text;
    EXPECT_GE(chunks, 7);
    EXPECT_LE(chunks, 17);
    EXPECT_EQ(bytes, chunks * kChunkSize);
    EXPECT_TRUE(disk.drainUntilClosed()); // the disk comes back: the file gets closed after all
    recorder.reset();
}

} // namespace
} // namespace vandra
