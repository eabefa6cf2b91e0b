#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "rawhttp.h"
#include "statusprobe.h"

// The recording of the input (dump) and RTP input, both read back with real tools.
namespace vandra::e2e {
namespace {

constexpr std::int64_t kChunk = 1316;
constexpr const char* kRecordingLine = "start write to file ";

// Files the recording could have produced: server_* or *.ts.
std::vector<std::filesystem::path> recordingsIn(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("server_", 0) == 0 || entry.path().extension() == ".ts") {
            found.push_back(entry.path());
        }
    }
    return found;
}

// Waits until the server has read `datagrams` datagrams from its input, all that was sent.
bool waitForInput(const ServerFixture& server, std::uint64_t datagrams) {
    return waitUntil(
        [&] { return metricOf(server.webPort, "vandra_input_datagrams_total") >= datagrams; }, 5s,
        20ms);
}

// Waits until the recording holds `bytes`: its writer thread writes and flushes each batch.
bool waitForRecorded(const std::filesystem::path& dir, std::uintmax_t bytes) {
    return waitUntil(
        [&] {
            std::error_code error;
            const std::filesystem::path file = recordingIn(dir);
            return !file.empty() && std::filesystem::file_size(file, error) >= bytes;
        },
        5s, 20ms);
}

// Guards: the file opened before a whole chunk exists, chunks cut at datagram boundaries
// instead of every 1316 bytes, lost or duplicated chunks, a partial chunk at the end, a
// recording not closed on SIGTERM, a wrong file name or folder.
TEST(Recording, DumpOneOpensAtTheFirstWholeChunkRecordsEveryChunkAndClosesOnSigterm) {
    ServerFixture server({"dump=1"});
    const std::time_t before = std::time(nullptr);
    // Six 188-byte packets are 1128 bytes: not yet a chunk.
    ASSERT_EQ(server.publish({"--size", "188", "--count", "6"}).number("datagrams"), 6u);
    ASSERT_TRUE(waitForInput(server, 6)) << server.log();
    EXPECT_TRUE(recordingsIn(server.dir()).empty());
    EXPECT_EQ(server.countInLog(kRecordingLine), 0) << server.log();
    // Eight more make two chunks with nothing left over, then 400 whole ones.
    ASSERT_EQ(
        server.publish({"--size", "188", "--count", "8", "--start-seq", "6"}).number("datagrams"),
        8u);
    ASSERT_EQ(server
                  .publish({"--size", "1316", "--count", "400", "--bitrate", "10000000",
                            "--start-seq", "14"})
                  .number("datagrams"),
              400u);
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(waitForRecorded(server.dir(), 402 * kChunk)) << server.log();
    EXPECT_EQ(server.process->stop(), kSigterm);

    // One recording, named by a local time within the publishing.
    const auto files = recordingsIn(server.dir());
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].filename().string();
    ASSERT_TRUE(fitsPattern(name, "server_####-##-##_##-##-##.ts")) << name;
    const auto stamp = parseLocalTime(name.substr(7, 19), "%Y-%m-%d_%H-%M-%S");
    ASSERT_TRUE(stamp) << name;
    EXPECT_GE(*stamp, before) << name;
    EXPECT_LE(*stamp, after) << name;
    EXPECT_EQ(std::filesystem::file_size(files[0]), static_cast<std::uintmax_t>(402 * kChunk));
    const ToolRun check = runTool("vandra-tscheck", {files[0].string()}, server.dir(), 10s);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.number("first_seq"), 0u) << check.json;
    EXPECT_EQ(check.number("packets"), 402u * 7) << check.json;
    EXPECT_EQ(check.number("last_seq"), 402u * 7 - 1) << check.json;
    EXPECT_EQ(server.countInLog(kRecordingLine), 1);
}

// ---- RTP input ------------------------------------------------------------------------------

// ffmpeg's transport-stream muxer pads to this rate, which makes the input rate known.
constexpr int kFfmpegMuxRate = 2'000'000;
constexpr int kFfmpegSeconds = 12;
constexpr std::uint64_t kFfmpegFrames = 25 * kFfmpegSeconds;

// A test picture as MPEG-TS in RTP (seven TS packets, 1328-byte datagrams) to the server's
// group. Through a udp:// output ffmpeg's RTCP reports share the data port, as with rtcp-mux.
std::unique_ptr<Process> startRtpEncoder(const ServerFixture& server) {
    const std::string output = "udp://" + server.source.group + ":" +
                               std::to_string(server.source.port) +
                               "?pkt_size=1328&localaddr=127.0.0.1&ttl=1";
    const std::string command =
        "exec /usr/bin/ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i "
        "testsrc=size=320x240:rate=25 -t " +
        std::to_string(kFfmpegSeconds) +
        " -c:v mpeg2video -b:v 1M -f rtp_mpegts -mpegts_muxer_options muxrate=" +
        std::to_string(kFfmpegMuxRate) + " '" + output + "'";
    return Process::start({"/bin/sh", "-c", command}, server.dir(), server.dir() / "ffmpeg.log");
}

// A file that plays: every frame decodes without a complaint, and none is missing.
void expectPlays(const std::filesystem::path& file) {
    SCOPED_TRACE(file.string());
    auto decode = Process::start(
        {"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "null", "-"},
        file.parent_path(), file.string() + ".decode.log");
    const ToolRun decoded = finish(*decode, 30s);
    EXPECT_EQ(decoded.status, 0) << decoded.output;
    EXPECT_EQ(decoded.output, "") << "decoding errors";
    auto probe = Process::start({"/usr/bin/ffprobe", "-v", "error", "-count_frames",
                                 "-show_entries", "stream=codec_name,nb_read_frames", "-of",
                                 "default=noprint_wrappers=1", file.string()},
                                file.parent_path(), file.string() + ".probe.log");
    const ToolRun probed = finish(*probe, 30s);
    EXPECT_TRUE(contains(probed.output, "codec_name=mpeg2video")) << probed.output;
    // The last frame may end in a partial chunk, which is never sent or recorded.
    EXPECT_TRUE(
        contains(probed.output, "nb_read_frames=" + std::to_string(kFfmpegFrames) + "\n") ||
        contains(probed.output, "nb_read_frames=" + std::to_string(kFfmpegFrames - 1) + "\n"))
        << probed.output;
}

// Guards: RTP datagrams dropped as oversize (the input shows nothing), RTP headers or RTCP
// reaching callers or the recording as stream bytes, and the input rate counting headers or
// missing payloads; and dump=true not recording (default and "True": WebStatus, Observability).
// Real peers on both ends: ffmpeg in, srt-live-transmit out, ffmpeg and ffprobe reading what came
// out.
TEST(RtpInput, FfmpegRtpStreamReachesCallersAndTheRecordingAtItsRate) {
    WebFixture server({"dump=true"});
    const std::filesystem::path received = server.dir() / "received.ts";
    // Unbuffered, so that the file shows what has arrived.
    const std::string command =
        "exec /usr/bin/stdbuf -o0 /usr/bin/srt-live-transmit -q 'srt://127.0.0.1:" +
        std::to_string(server.srtPort) + "' file://con 2>'" +
        (server.dir() / "received.err").string() + "'";
    auto fileCaller = Process::start({"/bin/sh", "-c", command}, server.dir(), received);
    // Listed once the sampler has read it, well after its loop made its buffer: from then on
    // it gets every chunk, so it must receive the whole stream.
    ASSERT_TRUE(
        server.status.waitFor([](const StatusDocument& d) { return !d.callers.empty(); }, 15s))
        << server.log();

    auto encoder = startRtpEncoder(server);
    ASSERT_TRUE(server.waitForLog("-- input format: rtp", 15s)) << server.log();

    // The oldest sample with data covers the encoder's start only in part.
    const auto doc = server.status.waitFor(
        [](const StatusDocument& d) {
            return std::count_if(d.input.begin(), d.input.end(),
                                 [](const Sample& s) { return s.kbps > 0; }) >= 3;
        },
        15s);
    ASSERT_TRUE(doc) << server.status.lastBody;
    EXPECT_TRUE(encoder->running()) << "the samples must be taken while the encoder runs";
    const auto firstData = std::find_if(doc->input.rbegin(), doc->input.rend(),
                                        [](const Sample& s) { return s.kbps > 0; });
    for (auto sample = doc->input.begin(); sample != firstData.base() - 1; ++sample) {
        EXPECT_NEAR(static_cast<double>(sample->kbps), kbpsOf(kFfmpegMuxRate),
                    0.15 * kbpsOf(kFfmpegMuxRate))
            << sample->time << " in " << server.status.lastBody;
    }

    EXPECT_EQ(encoder->waitExit(std::chrono::seconds(kFfmpegSeconds + 10)), 0) << encoder->output();
    // Once the server has read all input, the caller's file must grow to every whole chunk of
    // it; the last ones wait out the SRT latency (500 ms) in the caller first.
    ASSERT_TRUE(waitUntil(
        [&] { return udpReceiveQueue(server.process->pid(), server.source.port) == 0u; }, 5s));
    const std::uintmax_t whole =
        static_cast<std::uintmax_t>(
            metricOf(server.webPort, "vandra_input_bytes_total").value_or(0)) /
        kChunk * kChunk;
    EXPECT_TRUE(waitUntil(
        [&] {
            std::error_code error;
            return std::filesystem::file_size(received, error) >= whole && !error;
        },
        5s));
    EXPECT_TRUE(waitForRecorded(server.dir(), whole));
    fileCaller->stop();
    EXPECT_EQ(server.process->stop(), kSigterm);
    // ffmpeg's RTCP shares the data port: it must not pass for a change of format.
    EXPECT_EQ(server.countInLog("-- input format changed"), 0) << server.log();

    expectPlays(received);
    const auto recordings = recordingsIn(server.dir());
    ASSERT_EQ(recordings.size(), 2u) << "the recording and received.ts";
    for (const auto& file : recordings) {
        if (file != received) {
            expectPlays(file);
        }
    }
}

} // namespace
} // namespace vandra::e2e
