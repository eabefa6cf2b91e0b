#include <cstdio>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/configreader.h"
#include "app/knownsettings.h"
#include "core/utils.h"
#include "logcapture.h"

namespace vandra {
namespace {

TEST(ConfigReaderParseLine, TakesTrimmedLowerCaseKeyAndTrimmedValue) {
    ConfigReader::Pair pair;
    ASSERT_TRUE(ConfigReader::parseLine("  Source = udp://239.1.1.1:5000 \r", '=', pair));
    EXPECT_EQ(pair, ConfigReader::Pair("source", "udp://239.1.1.1:5000"));
    ASSERT_TRUE(ConfigReader::parseLine("a=b=c", '=', pair));
    EXPECT_EQ(pair.second, "b=c");
    ASSERT_TRUE(ConfigReader::parseLine(";port=1", '=', pair));
    EXPECT_EQ(pair.first, ";port");
    ASSERT_TRUE(ConfigReader::parseLine("port=9000 # main", '=', pair));
    EXPECT_EQ(pair.second, "9000 # main");

    ConfigReader::Pair untouched{"untouched", "untouched"};
    for (const char* line : {"# a=b", "   #a=b", "[config]", "", "   ", "latency=", "=500"}) {
        EXPECT_FALSE(ConfigReader::parseLine(line, '=', untouched)) << line;
    }
    EXPECT_EQ(untouched.first, "untouched");
}

class ConfigFile : public ::testing::Test {
protected:
    // load() reads beside the executable, so the test file goes there.
    void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    void TearDown() override { std::remove(path_.c_str()); }

    const std::string name_ = "configreader_test_" + std::to_string(::getpid()) + ".ini";
    const std::string path_ = exeDirectory() + "/" + name_;
    LogCapture log_;
};

TEST_F(ConfigFile, ReadsPairsUnderAnyHeaderAndLogsEachOne) {
    write("\xEF\xBB\xBFtop=1\n[config]\r\nsource = udp://239.1.1.1:5000\r\nPORT=9000\n[other]\n"
          "port=2\nlast=x");
    ConfigReader reader;
    ASSERT_TRUE(reader.load(name_));
    EXPECT_EQ(reader.get("source", ""), "udp://239.1.1.1:5000");
    EXPECT_EQ(reader.get("Port", ""), "9000");    // first value wins
    EXPECT_EQ(reader.get("top", "none"), "none"); // a byte-order mark is part of the first key
    EXPECT_EQ(reader.get("last", ""), "x");       // no line feed at the end
    EXPECT_EQ(log_.count("[config] port 9000  configreader  "), 1) << log_.text();
    EXPECT_EQ(log_.count("[config] port 2  configreader  "), 1) << log_.text();
}

TEST_F(ConfigFile, MissingFileLogsFullPathAndArgumentsAreLines) {
    ConfigReader reader;
    EXPECT_FALSE(reader.load("no_such_file.ini"));
    EXPECT_EQ(
        log_.text().rfind("fail open: " + exeDirectory() + "/no_such_file.ini  configreader  ", 0),
        0u)
        << log_.text();
    EXPECT_EQ(reader.get("latency", "500"), "500");

    const char* argv[] = {"prog",    "source=udp://239.1.1.1:5000", "junk", "port=9000", "port=1",
                          "latency="};
    reader.loadArgs(6, argv);
    EXPECT_EQ(reader.get("source", ""), "udp://239.1.1.1:5000");
    EXPECT_EQ(reader.get("port", ""), "9000");
    EXPECT_EQ(reader.get("latency", "500"), "500");
    EXPECT_EQ(log_.count("junk"), 0);
}

// Guards against a stray key that cannot open anything up stopping the start: an unrelated
// one, or a typing error next to the access setting it was meant as.
TEST(SettingKeys, AccessTypoStopsOnlyWhenTheMeantSettingIsMissing) {
    const LogCapture log;
    const auto check = [](std::vector<const char*> args) {
        args.insert(args.begin(), "prog");
        ConfigReader reader;
        reader.loadArgs(static_cast<int>(args.size()), args.data());
        return checkSettingKeys(reader);
    };
    EXPECT_FALSE(check({"alow=10.0.0.0/8", "colour=red"}));
    EXPECT_TRUE(check({"allow=10.0.0.0/8", "alow=192.168.0.0/16"}));
    EXPECT_TRUE(check({"colour=red", "latncy=300"}));
    EXPECT_EQ(log.count("looks like a misspelt"), 1) << log.text();
}

} // namespace
} // namespace vandra
