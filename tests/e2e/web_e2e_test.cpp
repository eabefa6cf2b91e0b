#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "harness.h"

namespace vandra::e2e {
namespace {

// `pattern` is literal text in which each '#' stands for one decimal digit.
bool fitsPattern(std::string_view text, std::string_view pattern) {
    return text.size() == pattern.size() &&
           std::equal(text.begin(), text.end(), pattern.begin(), [](char c, char p) {
               return p == '#' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : c == p;
           });
}

// ---- HTTP and the /stats document -----------------------------------------------------------

struct HttpReply {
    int status = 0;
    std::string body;
    std::string contentType;
};

std::optional<HttpReply> httpGet(int port, const std::string& path) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(3, 0);
    const httplib::Result result = client.Get(path.c_str());
    if (!result) {
        return std::nullopt;
    }
    return HttpReply{result->status, result->body, result->get_header_value("Content-Type")};
}

// A GET that must be answered with `status`.
HttpReply expectGet(int port, const std::string& path, int status) {
    const std::optional<HttpReply> reply = httpGet(port, path);
    EXPECT_EQ(reply ? reply->status : 0, status) << path;
    return reply.value_or(HttpReply{});
}

struct Sample {
    std::string time;
    long long kbps = 0;
};

struct CallerRow {
    std::string url;
    std::string created;
    std::vector<Sample> data;
};

struct StatusDocument {
    std::string source;
    std::string port;
    std::string webport;
    std::string ver;
    std::vector<Sample> input;
    std::vector<CallerRow> callers;
};

// Reads /stats as the server composes it. Its layout is fixed (key order, no white space, no
// value that needs an escape), so reading it literal by literal also checks its whole shape:
// a missing, extra or mistyped member fails. Whether it is valid JSON is checked apart.
class StatusReader {
public:
    explicit StatusReader(std::string_view text) : rest_(text) {}

    std::optional<StatusDocument> document() {
        StatusDocument doc;
        doc.source = stringAfter("{\"settings\":{\"source\":");
        doc.port = stringAfter(",\"port\":");
        doc.webport = stringAfter(",\"webport\":");
        doc.ver = stringAfter(",\"ver\":");
        doc.input = samplesAfter("},\"stats\":{\"left\":{\"data\":");
        take("},\"right\":[");
        while (ok_ && !rest_.starts_with("]")) {
            take(doc.callers.empty() ? "" : ",");
            CallerRow row;
            row.url = stringAfter("{\"url\":");
            row.created = stringAfter(",\"created\":");
            row.data = samplesAfter(",\"data\":");
            take("}");
            doc.callers.push_back(std::move(row));
        }
        take("]}}");
        return ok_ && rest_.empty() ? std::optional(doc) : std::nullopt;
    }

private:
    void take(std::string_view literal) {
        ok_ = ok_ && rest_.starts_with(literal);
        if (ok_) {
            rest_.remove_prefix(literal.size());
        }
    }

    std::string stringAfter(std::string_view literal) {
        take(literal);
        take("\"");
        const size_t end = ok_ ? rest_.find('"') : std::string_view::npos;
        const std::string_view text = rest_.substr(0, end == std::string_view::npos ? 0 : end);
        ok_ = end != std::string_view::npos && std::none_of(text.begin(), text.end(), [](char c) {
                  return c == '\\' || static_cast<unsigned char>(c) < 0x20;
              });
        if (ok_) {
            rest_.remove_prefix(end + 1);
        }
        return std::string(text);
    }

    // Every sample is {"x":"<time>","y":<whole non-negative number>}.
    std::vector<Sample> samplesAfter(std::string_view literal) {
        std::vector<Sample> samples;
        take(literal);
        take("[");
        while (ok_ && !rest_.starts_with("]")) {
            take(samples.empty() ? "" : ",");
            Sample sample;
            sample.time = stringAfter("{\"x\":");
            take(",\"y\":");
            const size_t digits = std::min(rest_.find_first_not_of("0123456789"), rest_.size());
            ok_ = ok_ && digits > 0;
            if (ok_) {
                sample.kbps = std::stoll(std::string(rest_.substr(0, digits)));
                rest_.remove_prefix(digits);
            }
            take("}");
            samples.push_back(sample);
        }
        take("]");
        return samples;
    }

    std::string_view rest_;
    bool ok_ = true;
};

std::optional<StatusDocument> readStatus(const std::string& body) {
    return StatusReader(body).document();
}

// The last /stats body seen, kept for failure messages.
struct StatusProbe {
    int webPort;
    std::string lastBody;

    explicit StatusProbe(int port) : webPort(port) {}

    std::optional<StatusDocument> fetch() {
        const std::optional<HttpReply> reply = httpGet(webPort, "/stats");
        lastBody = reply ? reply->body : "(no answer)";
        if (!reply || reply->status != 200) {
            return std::nullopt;
        }
        return readStatus(reply->body);
    }

    // Polls until a well-formed document satisfies `done`.
    std::optional<StatusDocument> waitFor(const std::function<bool(const StatusDocument&)>& done,
                                          std::chrono::milliseconds timeout) {
        std::optional<StatusDocument> found;
        waitUntil(
            [&] {
                found = fetch();
                return found && done(*found);
            },
            timeout);
        return found && done(*found) ? found : std::nullopt;
    }
};

// ---- Times and rates ------------------------------------------------------------------------

std::optional<std::time_t> parseLocalTime(const std::string& text, const char* format) {
    std::tm local{};
    std::istringstream in(text);
    in >> std::get_time(&local, format);
    if (in.fail() || in.peek() != std::char_traits<char>::eof()) {
        return std::nullopt;
    }
    local.tm_isdst = -1;
    return std::mktime(&local);
}

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

// A rate in bit/s as the server shows it: kbit/s of 1024 bits.
double kbpsOf(int bitsPerSecond) {
    return bitsPerSecond / 1024.0;
}

// ---- Processes ------------------------------------------------------------------------------

// A server, its /stats and, once started, a publisher.
struct WebFixture : ServerFixture {
    StatusProbe status{webPort};
    std::unique_ptr<Process> publisher;

    explicit WebFixture(const std::vector<std::string>& settings = {}) : ServerFixture(settings) {}

    std::unique_ptr<Process> startCaller(double seconds) const {
        return startCallers(1, seconds, {"--min-packets", "100"});
    }
};

// A server with a publisher sending the test stream at `bitrate` for `seconds`.
std::unique_ptr<WebFixture> startLiveStream(int bitrate, int seconds,
                                            const std::vector<std::string>& settings = {}) {
    auto live = std::make_unique<WebFixture>(settings);
    live->publisher = live->startPublisher(
        {"--bitrate", std::to_string(bitrate), "--seconds", std::to_string(seconds)});
    return live;
}

// "accept new client <socket> <ip:port>  rightserver  <line>"
std::string acceptedCallerUrl(const Process& server) {
    std::istringstream log(server.output());
    for (std::string line; std::getline(log, line);) {
        std::istringstream words(line);
        std::string accept, fresh, client, socket, url;
        if (words >> accept >> fresh >> client >> socket >> url && accept == "accept" &&
            fresh == "new" && client == "client" &&
            socket.find_first_not_of("0123456789") == std::string::npos) {
            return url;
        }
    }
    return "";
}

// ---- The web status interface ---------------------------------------------------------------

// Guards: the WEB folder not mounted at "/", /hi or /stats missing or mistyped, settings
// composed from the wrong values.
TEST(WebStatus, ServesFilesHiAndTheSettings) {
    ServerFixture server;
    const int web = server.webPort;
    ASSERT_TRUE(waitUntil([&] { return httpGet(web, "/hi").has_value(); }, 5s)) << server.log();

    EXPECT_TRUE(contains(expectGet(web, "/", 200).body, "<title>Vandra Server"));
    EXPECT_FALSE(expectGet(web, "/app.js", 200).body.empty());
    expectGet(web, "/no-such-file.html", 404);
    const HttpReply hi = expectGet(web, "/hi", 200);
    EXPECT_EQ(hi.body, "hi from server");
    EXPECT_EQ(hi.contentType.rfind("text/plain", 0), 0u) << hi.contentType;
    // One line per request (the readiness probe above made one or more).
    EXPECT_GE(server.countInLog("hi from client  webserver  "), 2) << server.log();

    const HttpReply stats = expectGet(web, "/stats", 200);
    EXPECT_EQ(stats.contentType, "application/json");
    const ToolRun json =
        runPython("import json,sys\njson.load(open(sys.argv[1]))\n", stats.body, server.dir());
    EXPECT_EQ(json.status, 0) << json.output << stats.body;
    const std::optional<StatusDocument> doc = readStatus(stats.body);
    ASSERT_TRUE(doc) << stats.body;
    EXPECT_EQ(doc->source, "udp://@" + server.source.group + ":" +
                               std::to_string(server.source.port) + " (127.0.0.1)");
    EXPECT_EQ(doc->port, std::to_string(server.srtPort));
    EXPECT_EQ(doc->webport, std::to_string(web));
    EXPECT_EQ(doc->ver, "0.5");
    EXPECT_TRUE(doc->callers.empty()) << stats.body;
    EXPECT_EQ(server.process->stop(), kSigterm);
}

// Guards: a missing WEB folder taking /stats down with it.
TEST(WebStatus, WithoutWebFolderOnlyTheFilesAreMissing) {
    ServerInstance instance(false);
    const int web = freeTcpPort();
    auto server = instance.run({uniqueSource().setting(), "port=" + std::to_string(freeUdpPort()),
                                "webport=" + std::to_string(web)});
    ASSERT_TRUE(waitUntil([&] { return httpGet(web, "/stats").has_value(); }, 5s))
        << server->output();
    expectGet(web, "/", 404);
    const HttpReply stats = expectGet(web, "/stats", 200);
    EXPECT_TRUE(readStatus(stats.body)) << stats.body;
    EXPECT_TRUE(server->running());
    EXPECT_EQ(server->stop(), kSigterm);
}

// Guards: wrong rate arithmetic (bits vs bytes, 1000 vs 1024, milliseconds), oldest-first or
// stale histories, a caller listed before it has a sample or with the wrong address, and a
// caller that stays listed after it left.
TEST(WebStatus, InputAndCallerRatesFollowThePublisherAndTheCallerLeaves) {
    constexpr int kBitrate = 2'000'000;
    auto live = startLiveStream(kBitrate, 40);

    // Start the caller right after a sampler pass so that it is connected before the next.
    const auto afterPass =
        live->status.waitFor([](const StatusDocument& doc) { return doc.input.size() >= 2; }, 8s);
    ASSERT_TRUE(afterPass) << live->status.lastBody;
    const std::int64_t callerStartMs = epochMs();
    auto caller = live->startCaller(8);
    ASSERT_TRUE(live->waitForLog("accept new client ", 3s)) << live->log();
    const auto beforeFirstCallerSample = live->status.fetch();
    ASSERT_TRUE(beforeFirstCallerSample) << live->status.lastBody;
    if (beforeFirstCallerSample->input.size() == afterPass->input.size()) {
        EXPECT_TRUE(beforeFirstCallerSample->callers.empty())
            << "a caller without samples is listed: " << live->status.lastBody;
    } else {
        ADD_FAILURE() << "the caller took a whole sampler period to connect";
    }

    const auto doc = live->status.waitFor(
        [](const StatusDocument& d) {
            return d.input.size() >= 4 && d.callers.size() == 1 && d.callers[0].data.size() >= 2;
        },
        10s);
    ASSERT_TRUE(doc) << live->status.lastBody;
    const std::string body = live->status.lastBody;

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
    EXPECT_EQ(row.url, acceptedCallerUrl(*live->process));
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

    const ToolRun callerRun = finish(*caller, 15s);
    EXPECT_EQ(callerRun.status, 0) << callerRun.output;
    EXPECT_EQ(callerRun.number("gaps"), 0u) << callerRun.output;

    ASSERT_TRUE(live->waitForLog("REMOVE", 8s)) << live->log();
    const auto gone =
        live->status.waitFor([](const StatusDocument& d) { return d.callers.empty(); }, 4s);
    EXPECT_TRUE(gone) << "caller still listed: " << live->status.lastBody;
    EXPECT_EQ(live->countInLog("REMOVE"), 1);
    EXPECT_TRUE(live->process->running());
    EXPECT_EQ(live->process->stop(), kSigterm);
}

// Guards: a caller that vanishes without closing (SIGKILL) never being reaped, or wedging the
// fan-out for the callers after it.
TEST(WebStatus, KilledCallerIsDroppedAfterThePeerTimeout) {
    auto live = startLiveStream(2'000'000, 40);
    auto caller = live->startCaller(60);
    ASSERT_TRUE(
        live->status.waitFor([](const StatusDocument& d) { return d.callers.size() == 1; }, 8s))
        << live->status.lastBody;

    caller->sendSignal(SIGKILL);
    EXPECT_EQ(caller->waitExit(5s), kSigkill);
    // SRT declares the peer gone after 5 s of silence; the next pass (3 s) removes it.
    ASSERT_TRUE(live->waitForLog("REMOVE", 12s)) << live->log();
    EXPECT_TRUE(live->status.waitFor([](const StatusDocument& d) { return d.callers.empty(); }, 4s))
        << live->status.lastBody;

    const ToolRun next = finish(*live->startCaller(2), 10s);
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_TRUE(live->process->running());
    EXPECT_EQ(live->process->stop(), kSigterm);
}

// Guards: a web port in use ending the process, retrying in a loop (log flood), or holding up
// the SRT side.
TEST(WebStatus, TakenWebPortIsReportedOnceAndSrtStillDelivers) {
    const Socket held(SOCK_STREAM);
    ASSERT_TRUE(held.bindLoopback() && ::listen(held.fd(), 4) == 0);
    const int webPort = held.localPort();
    auto live = startLiveStream(2'000'000, 20, {"webport=" + std::to_string(webPort)});
    const std::string line = "ERROR: web server cannot listen on port " + std::to_string(webPort);
    ASSERT_TRUE(live->waitForLog(line, 5s)) << live->log();

    const ToolRun caller = finish(*live->startCaller(3), 12s);
    EXPECT_EQ(caller.status, 0) << caller.output;
    EXPECT_EQ(caller.number("gaps"), 0u) << caller.output;
    EXPECT_EQ(caller.number("corrupt"), 0u) << caller.output;
    // 2 Mbit/s for 3 s is about 4000 packets of 188 bytes.
    EXPECT_GT(caller.number("packets").value_or(0), 2500u) << caller.output;

    EXPECT_EQ(live->countInLog(line), 1) << live->log();
    EXPECT_EQ(live->countInLog("web server cannot listen"), 1);
    EXPECT_TRUE(live->process->running());
    EXPECT_EQ(live->process->stop(), kSigterm);
}

// ---- The recording --------------------------------------------------------------------------

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

// Datagrams still in the socket buffer reach the recording in well under this.
void letTheServerCatchUp() {
    std::this_thread::sleep_for(500ms);
}

// The single recording's name carries a local time within [from, to].
void expectOneRecordingNamedWithin(const std::vector<std::filesystem::path>& files,
                                   std::time_t from, std::time_t to) {
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].filename().string();
    ASSERT_TRUE(fitsPattern(name, "server_####-##-##_##-##-##.ts")) << name;
    const auto stamp = parseLocalTime(name.substr(7, 19), "%Y-%m-%d_%H-%M-%S");
    ASSERT_TRUE(stamp) << name;
    EXPECT_GE(*stamp, from) << name;
    EXPECT_LE(*stamp, to) << name;
}

ToolRun checkRecording(const std::filesystem::path& file) {
    const ToolRun check = runTool("vandra-tscheck", {file.string()}, file.parent_path(), 10s);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.number("first_seq"), 0u) << check.output;
    return check;
}

// Guards: lost or duplicated chunks, a partial chunk at the end, a recording not closed on
// SIGTERM, a wrong file name or folder.
TEST(Recording, DumpOneRecordsEveryChunkAndClosesOnSigterm) {
    ServerFixture server({"dump=1"});
    const std::time_t before = std::time(nullptr);
    const ToolRun sent =
        server.publish({"--size", "1316", "--count", "400", "--bitrate", "10000000"});
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(sent.number("datagrams"), 400u) << sent.output;
    letTheServerCatchUp();
    EXPECT_EQ(server.process->stop(), kSigterm);

    const auto files = recordingsIn(server.dir());
    expectOneRecordingNamedWithin(files, before, after);
    EXPECT_EQ(std::filesystem::file_size(files[0]), static_cast<std::uintmax_t>(400 * kChunk));
    EXPECT_EQ(checkRecording(files[0]).number("packets"), 400u * 7);
    EXPECT_EQ(server.countInLog(kRecordingLine), 1);
}

// Guards: the file opened before a whole chunk exists, or chunks cut at datagram boundaries
// instead of every 1316 bytes.
TEST(Recording, DumpTrueOpensAtTheFirstWholeChunk) {
    ServerFixture server({"dump=true"});
    const std::time_t before = std::time(nullptr);
    // Six 188-byte packets are 1128 bytes: not yet a chunk.
    ASSERT_EQ(server.publish({"--size", "188", "--count", "6"}).number("datagrams"), 6u);
    letTheServerCatchUp();
    EXPECT_TRUE(recordingsIn(server.dir()).empty());
    EXPECT_EQ(server.countInLog(kRecordingLine), 0) << server.log();

    // Eight more make fourteen packets: two chunks, nothing left over.
    ASSERT_EQ(
        server.publish({"--size", "188", "--count", "8", "--start-seq", "6"}).number("datagrams"),
        8u);
    const std::time_t after = std::time(nullptr);
    letTheServerCatchUp();
    EXPECT_EQ(server.process->stop(), kSigterm);

    const auto files = recordingsIn(server.dir());
    expectOneRecordingNamedWithin(files, before, after);
    EXPECT_EQ(std::filesystem::file_size(files[0]), static_cast<std::uintmax_t>(2 * kChunk));
    EXPECT_EQ(checkRecording(files[0]).number("last_seq"), 13u);
    EXPECT_EQ(server.countInLog(kRecordingLine), 1);
}

// Guards: a recording started by a value that does not turn it on, or by less than a chunk.
// Each server must have seen its input (a non-zero input sample) for "no file" to mean much.
TEST(Recording, OtherDumpValuesAndShortInputRecordNothing) {
    struct Case {
        std::vector<std::string> settings;
        std::vector<std::string> publish;
    };
    const std::vector<Case> cases{
        {{}, {"--size", "1316", "--count", "50", "--bitrate", "10000000"}},
        {{"dump=True"}, {"--size", "1316", "--count", "50", "--bitrate", "10000000"}},
        {{"dump=yes"}, {"--size", "1316", "--count", "50", "--bitrate", "10000000"}},
        {{"dump=1"}, {"--size", "188", "--count", "3"}},
    };
    std::vector<std::unique_ptr<WebFixture>> servers;
    for (const Case& c : cases) {
        servers.push_back(std::make_unique<WebFixture>(c.settings));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_GT(servers[i]->publish(cases[i].publish).number("datagrams").value_or(0), 0u);
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        WebFixture& server = *servers[i];
        const std::string label = cases[i].settings.empty() ? "no dump" : cases[i].settings[0];
        EXPECT_TRUE(server.status.waitFor(
            [](const StatusDocument& d) {
                return std::any_of(d.input.begin(), d.input.end(),
                                   [](const Sample& s) { return s.kbps > 0; });
            },
            8s))
            << label << ": input never seen: " << server.status.lastBody;
        EXPECT_EQ(server.process->stop(), kSigterm) << label;
        EXPECT_TRUE(recordingsIn(server.dir()).empty()) << label;
        EXPECT_EQ(server.countInLog(kRecordingLine), 0) << label;
    }
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
    return Process::start({"/usr/bin/ffmpeg",
                           "-nostdin",
                           "-hide_banner",
                           "-loglevel",
                           "error",
                           "-re",
                           "-f",
                           "lavfi",
                           "-i",
                           "testsrc=size=320x240:rate=25",
                           "-t",
                           std::to_string(kFfmpegSeconds),
                           "-c:v",
                           "mpeg2video",
                           "-b:v",
                           "1M",
                           "-f",
                           "rtp_mpegts",
                           "-mpegts_muxer_options",
                           "muxrate=" + std::to_string(kFfmpegMuxRate),
                           output},
                          server.dir(), server.dir() / "ffmpeg.log");
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
    const std::string framesKey = "nb_read_frames=";
    const size_t at = probed.output.find(framesKey);
    ASSERT_NE(at, std::string::npos) << probed.output;
    const std::uint64_t frames = std::stoull(probed.output.substr(at + framesKey.size()));
    EXPECT_GE(frames, kFfmpegFrames - 1) << probed.output;
    EXPECT_LE(frames, kFfmpegFrames) << probed.output;
}

// Guards: RTP datagrams dropped as oversize (the input shows nothing), RTP headers or RTCP
// reaching callers or the recording as stream bytes, and the input rate counting headers or
// missing payloads. Real peers on both ends: ffmpeg in, srt-live-transmit and ffprobe out.
TEST(RtpInput, FfmpegRtpStreamReachesCallersAndTheRecordingAtItsRate) {
    WebFixture server({"dump=1"});
    const std::filesystem::path received = server.dir() / "received.ts";
    const std::string command =
        "exec /usr/bin/srt-live-transmit -q 'srt://127.0.0.1:" + std::to_string(server.srtPort) +
        "' file://con 2>'" + (server.dir() / "received.err").string() + "'";
    auto fileCaller = Process::start({"/bin/sh", "-c", command}, server.dir(), received);
    ASSERT_TRUE(server.waitForLog("-- start ClientHandler loop", 15s)) << server.log();
    std::this_thread::sleep_for(300ms); // its buffer is made right after that line

    auto encoder = startRtpEncoder(server);
    std::this_thread::sleep_for(1s);
    auto probe =
        Process::start({"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-i",
                        "srt://127.0.0.1:" + std::to_string(server.srtPort) + "?timeout=5000000"},
                       server.dir(), server.dir() / "ffprobe.log");
    const ToolRun probed = finish(*probe, 30s);
    EXPECT_EQ(probed.status, 0) << probed.output;
    EXPECT_TRUE(contains(probed.output, "codec_name=mpeg2video")) << probed.output;

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
    // The last chunks wait out the SRT latency (500 ms) in the caller.
    std::this_thread::sleep_for(1500ms);
    fileCaller->stop();
    EXPECT_EQ(server.process->stop(), kSigterm);
    EXPECT_EQ(server.countInLog("-- input format: rtp  leftserver"), 1) << server.log();
    EXPECT_EQ(server.countInLog("-- dropped"), 0) << server.log();
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

// ---- The dashboard in a real browser --------------------------------------------------------

bool isPng(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<char, 8> head{};
    in.read(head.data(), head.size());
    return in.gcount() == 8 && std::string(head.data(), 8) == "\x89PNG\r\n\x1a\n";
}

std::filesystem::path artifactsDir() {
    const std::filesystem::path dir =
        std::filesystem::path(VANDRA_BINARY_DIR) / "tests" / "artifacts";
    std::filesystem::create_directories(dir);
    return dir;
}

std::string sourceFile(const std::string& relative) {
    return std::string(VANDRA_SOURCE_DIR) + "/" + relative;
}

// dashboard_check.py on `url`; its screenshot goes to the artifacts as `name`.png.
ToolRun checkDashboard(const std::string& url, const std::string& name,
                       const std::vector<std::string>& checks, const std::filesystem::path& dir) {
    const std::filesystem::path screenshot = artifactsDir() / (name + ".png");
    std::filesystem::remove(screenshot);
    std::vector<std::string> argv = {"/usr/bin/env",
                                     "python3",
                                     sourceFile("tests/e2e/dashboard_check.py"),
                                     "--url",
                                     url,
                                     "--screenshot",
                                     screenshot.string(),
                                     "--timeout",
                                     "40"};
    argv.insert(argv.end(), checks.begin(), checks.end());
    auto check = Process::start(argv, dir, dir / (name + ".log"));
    ToolRun run = finish(*check, 150s);
    EXPECT_TRUE(isPng(screenshot)) << screenshot;
    return run;
}

// The page against fake_stats_server.py: situations the real server cannot be put in on
// demand (200 callers, lossy ones, departures, a stalled input) with /stats and
// api/v1/status telling the same story.
ToolRun checkDashboardOnFake(const std::string& name, const std::vector<std::string>& fakeArgs,
                             const std::vector<std::string>& checks) {
    const ScratchDir dir("vandra_dashboard_");
    const std::string port = std::to_string(freeTcpPort());
    std::vector<std::string> argv = {
        "/usr/bin/env", "python3", sourceFile("tests/e2e/fake_stats_server.py"), "--port", port,
        "--lifetime",   "200"};
    argv.insert(argv.end(), fakeArgs.begin(), fakeArgs.end());
    auto fake = Process::start(argv, dir.path(), dir.path() / "fake.log");
    const std::string url = "http://127.0.0.1:" + port + "/";
    if (!fake->waitForOutput(url, 10s)) {
        ADD_FAILURE() << name << ": fake server did not start: " << fake->output();
        return ToolRun{};
    }
    ToolRun run = checkDashboard(url, name, checks, dir.path());
    fake->stop();
    return run;
}

// Guards: a page that does not render /stats and api/v1/status as the real server sends them
// (input chart, rate, one row per caller with its health) in Chromium.
TEST(Dashboard, RendersInputAndCallerInChromium) {
    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "no /usr/bin/chromium";
    }
    auto live = startLiveStream(2'000'000, 60);
    const std::filesystem::path dir = live->dir();
    auto caller = live->startCaller(60);
    ASSERT_TRUE(live->status.waitFor(
        [](const StatusDocument& d) {
            return d.input.size() >= 3 && d.callers.size() == 1 && !d.callers[0].data.empty();
        },
        12s))
        << live->status.lastBody;

    const ToolRun checked =
        checkDashboard("http://127.0.0.1:" + std::to_string(live->webPort) + "/", "dashboard",
                       {"--expect-callers", "1", "--expect-status-api", "present"}, dir);
    EXPECT_EQ(checked.status, 0) << checked.output;

    caller->stop();
    live->publisher->stop();
    EXPECT_EQ(live->process->stop(), kSigterm);
}

// Guards: a table that loses or duplicates rows at 200 callers, misjudges a lossy or failing
// caller, does not put the worst first, leaves a chart behind, drops the selected caller's
// chart, ignores departures or input errors, or does not record its render times.
TEST(Dashboard, TwoHundredCallersWorstFirstInChromium) {
    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "no /usr/bin/chromium";
    }
    const ToolRun run = checkDashboardOnFake(
        "dashboard-200-callers",
        {"--callers", "200", "--lossy", "2", "--failing", "1", "--departed", "12", "--input-errors",
         "--format", "rtp", "--users"},
        {"--expect-callers", "200", "--expect-failing", "1", "--expect-degraded", "2",
         "--expect-departed", "12", "--expect-input-errors", "--expect-format", "rtp",
         "--expect-status-api", "present", "--select", "198.51.100.7:50123", "--expect-detail",
         "present"});
    EXPECT_EQ(run.status, 0) << run.output;
}

// Guards: the selected caller's chart or detail left behind when that caller hangs up, or its
// departure not listed.
TEST(Dashboard, SelectedCallerLeavingTakesItsChartAlongInChromium) {
    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "no /usr/bin/chromium";
    }
    const ToolRun run =
        checkDashboardOnFake("dashboard-caller-left", {"--callers", "3", "--leave-after", "3"},
                             {"--expect-callers", "2", "--expect-departed", "1", "--select",
                              "198.51.100.7:50123", "--expect-detail", "absent"});
    EXPECT_EQ(run.status, 0) << run.output;
}

// Guards: a "Live" badge or a receiving banner while the input is stalled or never came,
// with or without api/v1/status (the older server shows it by a zero bitrate sample).
TEST(Dashboard, StalledInputShowsNoInputInChromium) {
    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "no /usr/bin/chromium";
    }
    struct Case {
        std::string name;
        std::vector<std::string> fake;
        std::vector<std::string> checks;
    };
    const std::vector<Case> cases = {
        {"dashboard-stalled",
         {"--callers", "3", "--input", "stalled"},
         {"--expect-callers", "3", "--expect-input", "stalled", "--expect-status-api", "present"}},
        {"dashboard-never",
         {"--callers", "0", "--input", "never"},
         {"--expect-callers", "0", "--expect-input", "none", "--expect-status-api", "present"}},
        {"dashboard-stalled-stats-only",
         {"--callers", "2", "--input", "stalled", "--no-status-api"},
         {"--expect-callers", "2", "--expect-input", "stalled", "--expect-status-api", "absent"}},
    };
    for (const Case& c : cases) {
        const ToolRun run = checkDashboardOnFake(c.name, c.fake, c.checks);
        EXPECT_EQ(run.status, 0) << c.name << "\n" << run.output;
    }
}

} // namespace
} // namespace vandra::e2e
