#include <gtest/gtest.h>

#include "ingest/tsinspector.h"
#include "tsbuilder.h"

namespace vandra {
namespace {

using test::StreamWriter;

class TsInspectorTest : public ::testing::Test {
protected:
    // Inspects what was written since the last call, chunk by chunk (padded to whole chunks).
    void inspect() {
        writer_.padChunk();
        for (; inspected_ < writer_.chunks(); ++inspected_) {
            inspector_.inspectChunk(writer_.chunk(inspected_));
        }
    }
    void payloadPackets(std::uint16_t pid, int count) {
        for (int i = 0; i < count; ++i) {
            writer_.packet(pid, {});
        }
    }

    StreamWriter writer_;
    std::size_t inspected_ = 0;
    TsInspector inspector_;
};

TEST_F(TsInspectorTest, OneJumpCountsOnceWithItsPid) {
    payloadPackets(0x100, 5);
    payloadPackets(0x200, 5);
    writer_.packet(0x200, {}, {.counter = 12}); // the 5th was 4: packets lost
    payloadPackets(0x200, 20);
    inspect();
    EXPECT_EQ(inspector_.continuityErrors(), 1u);
    ASSERT_TRUE(inspector_.hasUnreported());
    const TsInspector::Report report = inspector_.takeReport();
    EXPECT_EQ(report.continuityErrors, 1u);
    EXPECT_EQ(report.syncErrors, 0u);
    EXPECT_EQ(report.pidsText(), "512");
    EXPECT_TRUE(inspector_.takeReport().empty()) << "a report starts a new period";
    EXPECT_EQ(inspector_.continuityErrors(), 1u) << "the total stays";
}

TEST_F(TsInspectorTest, ReportListsEightPidsAndCountsTheOthers) {
    for (std::uint16_t pid = 0x20; pid < 0x20 + 11; ++pid) {
        payloadPackets(pid, 1);
        writer_.packet(pid, {}, {.counter = 7});
        writer_.packet(pid, {}, {.counter = 3}); // a second error on the same PID
    }
    inspect();
    const TsInspector::Report report = inspector_.takeReport();
    EXPECT_EQ(report.continuityErrors, 22u);
    EXPECT_EQ(report.pidCount, TsInspector::kReportedPids);
    EXPECT_EQ(report.morePids, 3);
    EXPECT_EQ(report.pidsText(), "32, 33, 34, 35, 36, 37, 38, 39 and 3 more");
}

} // namespace
} // namespace vandra
