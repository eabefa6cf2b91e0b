#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ingest/streamrecorder.h"

namespace vandra {
namespace {

class StreamRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        folder_ = std::filesystem::temp_directory_path() /
                  ("recorder_test_" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
        std::filesystem::current_path(folder_);
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        testing::internal::GetCapturedStdout();
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(folder_);
    }
    std::vector<std::filesystem::path> recordings() const {
        std::vector<std::filesystem::path> found;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            found.push_back(entry.path());
        }
        return found;
    }

    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

// "server_YYYY-MM-DD_HH-MM-SS.ts": every field zero-padded. (No std::regex: g++ 12 warns
// falsely inside it in the sanitizer build.)
bool isRecordingName(const std::string& name) {
    const std::string shape = "server_dddd-dd-dd_dd-dd-dd.ts";
    if (name.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (shape[i] == 'd' ? !digit : name[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

TEST_F(StreamRecorderTest, NameIsZeroPaddedLocalTime) {
    EXPECT_TRUE(isRecordingName(StreamRecorder::dumpFileName(0)))
        << StreamRecorder::dumpFileName(0);
    EXPECT_TRUE(isRecordingName(StreamRecorder::dumpFileName()));
    EXPECT_FALSE(isRecordingName("server_2026-1-06_10-00-00.ts"));
}

TEST_F(StreamRecorderTest, WritesWholeChunksAndOpensOnlyOnce) {
    StreamRecorder recorder;
    EXPECT_TRUE(recordings().empty());
    std::vector<std::uint8_t> chunk(1316);
    for (int i = 0; i < 5; ++i) {
        std::fill(chunk.begin(), chunk.end(), static_cast<std::uint8_t>(i));
        recorder.record(chunk.data(), 1316, 1000 + i);
    }
    recorder.close();
    recorder.record(chunk.data(), 1316, 9000); // after close: not recorded
    const auto files = recordings();
    ASSERT_EQ(files.size(), 1u);
    std::ifstream in(files[0], std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(bytes.size(), 5u * 1316);
    EXPECT_EQ(bytes[4 * 1316], 4);
    const std::string log = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(log.find("start write to file   leftserver  "), 0u) << log;
    EXPECT_EQ(log.find("start write to file", 1), std::string::npos);
}

TEST_F(StreamRecorderTest, FlushesWithinASecondWithoutClosing) {
    StreamRecorder recorder;
    std::vector<std::uint8_t> chunk(1316, 7);
    recorder.record(chunk.data(), 1316, 1000);
    recorder.record(chunk.data(), 1316, 2500);
    const auto files = recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(files[0]), 2u * 1316);
}

TEST_F(StreamRecorderTest, FailedOpenIsRetriedAtTheNextChunk) {
    // Folders under every name the next seconds can give make the open fail, even for root.
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t <= now + 5; ++t) {
        std::filesystem::create_directory(folder_ / StreamRecorder::dumpFileName(t));
    }
    StreamRecorder recorder;
    std::vector<std::uint8_t> chunk(1316, 1);
    recorder.record(chunk.data(), 1316, 1000);
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
        std::filesystem::remove(entry.path());
    }
    recorder.record(chunk.data(), 1316, 1001);
    recorder.close();
    ASSERT_EQ(recordings().size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(recordings()[0]), 1316u);
    const std::string log = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_NE(log.find("start write to file", 1), std::string::npos) << log;
}

} // namespace
} // namespace vandra
