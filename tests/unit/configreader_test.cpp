#include <cstdio>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/configreader.h"
#include "app/utils.h"

namespace vandra {
namespace {

TEST(ConfigReaderParseLine, TakesTrimmedLowerCaseKeyAndTrimmedValue) {
    ConfigReader::Pair pair;
    ASSERT_TRUE(ConfigReader::parseLine("  Source = udp://239.1.1.1:5000 \r", '=', pair));
    EXPECT_EQ(pair.first, "source");
    EXPECT_EQ(pair.second, "udp://239.1.1.1:5000");
    ASSERT_TRUE(ConfigReader::parseLine("a=b=c", '=', pair));
    EXPECT_EQ(pair.second, "b=c");
    ASSERT_TRUE(ConfigReader::parseLine(";port=1", '=', pair));
    EXPECT_EQ(pair.first, ";port");
    ASSERT_TRUE(ConfigReader::parseLine("port=9000 # main", '=', pair));
    EXPECT_EQ(pair.second, "9000 # main");
    ASSERT_TRUE(ConfigReader::parseLine("dump=TRUE", '=', pair));
    EXPECT_EQ(pair.second, "TRUE");
}

TEST(ConfigReaderParseLine, RejectsCommentsHeadersAndEmptySides) {
    ConfigReader::Pair pair{"untouched", "untouched"};
    for (const char* line :
         {"# a=b", "   #a=b", "[config]", "", "   ", "latency=", "=500", " = "}) {
        EXPECT_FALSE(ConfigReader::parseLine(line, '=', pair)) << line;
    }
    EXPECT_EQ(pair.first, "untouched");
}

class ConfigFile : public ::testing::Test {
protected:
    // load() reads beside the executable, so the test file goes there.
    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    void TearDown() override { std::remove(path_.c_str()); }

    const std::string name_ = "configreader_test_" + std::to_string(::getpid()) + ".ini";
    const std::string path_ = exeDirectory() + "/" + name_;
};

TEST_F(ConfigFile, ReadsPairsUnderAnyHeaderAndLogsEachOne) {
    write("top=1\n[config]\r\nsource = udp://239.1.1.1:5000\r\nPORT=9000\n[other]\nport=2\nlast=x");
    ConfigReader reader;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(reader.load(name_));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(reader.get("source", ""), "udp://239.1.1.1:5000");
    EXPECT_EQ(reader.get("Port", ""), "9000"); // first value wins
    EXPECT_EQ(reader.get("top", ""), "1");
    EXPECT_EQ(reader.get("last", ""), "x"); // no line feed at the end
    EXPECT_NE(log.find("[config] port 9000  configreader  "), std::string::npos) << log;
    EXPECT_NE(log.find("[config] port 2  configreader  "), std::string::npos) << log;
}

TEST_F(ConfigFile, ByteOrderMarkBecomesPartOfTheFirstKey) {
    write("\xEF\xBB\xBFsource=udp://239.1.1.1:5000\nport=9000\n");
    ConfigReader reader;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(reader.load(name_));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(reader.get("source", "none"), "none");
    EXPECT_EQ(reader.get("port", ""), "9000");
}

TEST(ConfigReaderLoad, MissingFileLogsFullPathAndKeepsDefaults) {
    ConfigReader reader;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(reader.load("no_such_file.ini"));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.rfind("fail open: " + exeDirectory() + "/no_such_file.ini  configreader  ", 0),
              0u)
        << log;
    EXPECT_EQ(reader.get("latency", "500"), "500");
}

TEST(ConfigReaderArgs, ArgumentsAreLinesAndNonPairsAreSkipped) {
    const char* argv[] = {"prog",    "source=udp://239.1.1.1:5000", "junk", "port=9000", "port=1",
                          "latency="};
    ConfigReader reader;
    testing::internal::CaptureStdout();
    reader.loadArgs(6, argv);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(reader.get("source", ""), "udp://239.1.1.1:5000");
    EXPECT_EQ(reader.get("port", ""), "9000");
    EXPECT_EQ(reader.get("latency", "500"), "500");
    EXPECT_EQ(log.find("junk"), std::string::npos);
}

} // namespace
} // namespace vandra
