#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "statusprobe.h"
#include "webclient.h"

// The web status interface: files, /hi and the /stats document against a real server.
namespace vandra::e2e {
namespace {

// Samples come newest first, one per sampler pass (3 s, plus a little drift), the newest
// taken within the last pass.
void expectSampleTimeline(const std::vector<Sample>& samples, const std::string& what) {
    std::vector<std::time_t> times;
    for (const Sample& sample : samples) {
        const std::optional<std::time_t> time =
            fitsPattern(sample.time, "####-##-## ##:##:##")
                ? parseLocalTime(sample.time, "%Y-%m-%d %H:%M:%S")
                : std::nullopt;
        ASSERT_TRUE(time) << what << ": bad time text '" << sample.time << "'";
        times.push_back(*time);
    }
    ASSERT_FALSE(times.empty()) << what;
    const std::time_t now = std::time(nullptr);
    EXPECT_LE(times.front(), now) << what << ": newest sample in the future";
    EXPECT_GE(times.front(), now - 5) << what << ": newest sample is stale " << samples[0].time;
    for (size_t i = 1; i < times.size(); ++i) {
        const std::time_t step = times[i - 1] - times[i];
        EXPECT_TRUE(step >= 3 && step <= 4)
            << what << ": samples " << samples[i - 1].time << " then " << samples[i].time;
    }
}

std::int64_t epochMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Guards: wrong rate arithmetic (bits vs bytes, 1000 vs 1024, milliseconds), oldest-first or
// stale histories, a caller listed with the wrong address or after it left, the WEB folder not
// at "/", /stats settings other than those the server started with, "True" turning dump on.
TEST(WebStatus, InputAndCallerRatesFollowThePublisherAndTheCallerLeaves) {
    constexpr int kBitrate = 2'000'000;
    auto live = startLiveStream(kBitrate, 40, {"dump=True"}); // only "true" and "1" record

    // Two samples first, so that the caller is still there when the input has four.
    ASSERT_TRUE(
        live->status.waitFor([](const StatusDocument& d) { return d.input.size() >= 2; }, 8s))
        << live->status.lastBody;
    EXPECT_TRUE(contains(webBody(live->webPort, "/"), "<title>Vandra Server"));
    const std::int64_t callerStartMs = epochMs();
    auto caller = live->startCallers(1, 8, {"--min-packets", "100"});

    const auto doc = live->status.waitFor(
        [](const StatusDocument& d) {
            return d.input.size() >= 4 && d.callers.size() == 1 && d.callers[0].data.size() >= 2;
        },
        10s);
    ASSERT_TRUE(doc) << live->status.lastBody;
    const std::string body = live->status.lastBody;
    EXPECT_EQ(doc->source, "udp://@" + live->source.group + ":" +
                               std::to_string(live->source.port) + " (127.0.0.1)");
    EXPECT_EQ(doc->port, std::to_string(live->srtPort));
    EXPECT_EQ(doc->webport, std::to_string(live->webPort));

    expectSampleTimeline(doc->input, "input");
    // The oldest non-zero sample covers the publisher's start only in part; the rest must be
    // full periods at the published rate.
    const auto firstData = std::find_if(doc->input.rbegin(), doc->input.rend(),
                                        [](const Sample& s) { return s.kbps > 0; });
    ASSERT_NE(firstData, doc->input.rend()) << body;
    const std::vector<Sample> full(doc->input.begin(), firstData.base() - 1);
    ASSERT_GE(full.size(), 2u) << body;
    for (const Sample& sample : full) {
        EXPECT_NEAR(static_cast<double>(sample.kbps), kbpsOf(kBitrate), 0.15 * kbpsOf(kBitrate))
            << sample.time << " in " << body;
    }

    const CallerRow& row = doc->callers[0];
    // The address must be the caller's own, as the kernel knows it.
    const std::vector<int> callerPorts = udpPortsOfProcess(caller->pid());
    EXPECT_EQ(callerPorts.size(), 1u);
    EXPECT_EQ(row.url, "127.0.0.1:" + std::to_string(callerPorts.empty() ? 0 : callerPorts[0]));
    ASSERT_TRUE(fitsPattern(row.created, "#############")) << row.created;
    const std::int64_t created = std::stoll(row.created);
    EXPECT_GE(created, callerStartMs - 1000) << "created is not the connect time in epoch ms";
    EXPECT_LE(created, epochMs());
    expectSampleTimeline(row.data, "caller");
    // The caller's first sample covers part of a period; the newest is a full one. SRT's
    // packet headers add about 3 % to what the caller is sent.
    EXPECT_NEAR(static_cast<double>(row.data[0].kbps), kbpsOf(kBitrate), 0.15 * kbpsOf(kBitrate))
        << body;

    expectLossless(finish(*caller, 15s), 1, "caller");

    ASSERT_TRUE(live->waitForLog("REMOVE", 8s)) << live->log();
    const auto gone =
        live->status.waitFor([](const StatusDocument& d) { return d.callers.empty(); }, 4s);
    EXPECT_TRUE(gone) << "caller still listed: " << live->status.lastBody;
    EXPECT_EQ(live->countInLog("REMOVE"), 1);
    EXPECT_TRUE(live->process->running());
    EXPECT_EQ(live->process->stop(), kSigterm);
    EXPECT_TRUE(recordingIn(live->dir()).empty());
    EXPECT_TRUE(contains(live->log(), "-- dump=True is not true or 1: not recording"));
}

} // namespace
} // namespace vandra::e2e
