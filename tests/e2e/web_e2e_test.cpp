#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "harness.h"

namespace vandra::e2e {
namespace {

// ---------------------------------------------------------------------------------------------
// Text checks.

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

// `pattern` is literal text in which each '#' stands for one decimal digit.
bool fitsPattern(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == '#' ? !isDigit(text[i]) : text[i] != pattern[i]) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// A small JSON reader: enough to tell whether /stats and the tools' summaries are well formed
// and to look inside them.

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    std::string text; // a string's contents or a number's literal
    bool flag = false;
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;

    const JsonValue* member(const std::string& key) const {
        for (const auto& [name, value] : members) {
            if (name == key) {
                return &value;
            }
        }
        return nullptr;
    }
    bool is(Kind wanted) const { return kind == wanted; }
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    // The whole text must be one value, with nothing but white space around it.
    std::optional<JsonValue> document() {
        JsonValue value;
        skipSpace();
        if (!readValue(value)) {
            return std::nullopt;
        }
        skipSpace();
        if (at_ != text_.size()) {
            return std::nullopt;
        }
        return value;
    }

private:
    bool readValue(JsonValue& value) {
        if (at_ >= text_.size()) {
            return false;
        }
        switch (text_[at_]) {
        case '{':
            value.kind = JsonValue::Kind::Object;
            return readObject(value);
        case '[':
            value.kind = JsonValue::Kind::Array;
            return readArray(value);
        case '"':
            value.kind = JsonValue::Kind::String;
            return readString(value.text);
        case 't':
            value.kind = JsonValue::Kind::Bool;
            value.flag = true;
            return readWord("true");
        case 'f':
            value.kind = JsonValue::Kind::Bool;
            return readWord("false");
        case 'n':
            return readWord("null");
        default:
            value.kind = JsonValue::Kind::Number;
            return readNumber(value.text);
        }
    }

    bool readObject(JsonValue& value) {
        ++at_;
        skipSpace();
        if (take('}')) {
            return true;
        }
        do {
            skipSpace();
            std::string name;
            JsonValue member;
            if (!readString(name)) {
                return false;
            }
            skipSpace();
            if (!take(':')) {
                return false;
            }
            skipSpace();
            if (!readValue(member)) {
                return false;
            }
            value.members.emplace_back(std::move(name), std::move(member));
            skipSpace();
        } while (take(','));
        return take('}');
    }

    bool readArray(JsonValue& value) {
        ++at_;
        skipSpace();
        if (take(']')) {
            return true;
        }
        do {
            skipSpace();
            JsonValue item;
            if (!readValue(item)) {
                return false;
            }
            value.items.push_back(std::move(item));
            skipSpace();
        } while (take(','));
        return take(']');
    }

    bool readString(std::string& out) {
        if (!take('"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) {
                return false;
            }
            const char escaped = text_[at_++];
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meaning = "\"\\/\b\f\n\r\t";
            if (const size_t i = simple.find(escaped); i != std::string_view::npos) {
                out += meaning[i];
            } else if (escaped == 'u' && at_ + 4 <= text_.size() &&
                       std::all_of(
                           text_.begin() + static_cast<std::ptrdiff_t>(at_),
                           text_.begin() + static_cast<std::ptrdiff_t>(at_ + 4),
                           [](char h) { return std::isxdigit(static_cast<unsigned char>(h)); })) {
                // The checks only compare ASCII text; the code point itself is not needed.
                out += '?';
                at_ += 4;
            } else {
                return false;
            }
        }
        return false;
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool readNumber(std::string& out) {
        const size_t start = at_;
        take('-');
        if (!take('0')) {
            if (at_ >= text_.size() || text_[at_] < '1' || text_[at_] > '9') {
                return false;
            }
            skipDigits();
        }
        if (take('.') && skipDigits() == 0) {
            return false;
        }
        if (take('e') || take('E')) {
            if (!take('+')) {
                take('-');
            }
            if (skipDigits() == 0) {
                return false;
            }
        }
        out = std::string(text_.substr(start, at_ - start));
        return true;
    }

    size_t skipDigits() {
        const size_t start = at_;
        while (at_ < text_.size() && isDigit(text_[at_])) {
            ++at_;
        }
        return at_ - start;
    }

    bool readWord(std::string_view word) {
        if (text_.substr(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    void skipSpace() {
        while (at_ < text_.size() &&
               std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos) {
            ++at_;
        }
    }

    std::string_view text_;
    size_t at_ = 0;
};

std::optional<JsonValue> parseJson(std::string_view text) {
    return JsonReader(text).document();
}

// The tools print their summary as the last line that starts with '{'.
std::optional<JsonValue> toolSummary(const Process& tool) {
    std::istringstream lines(tool.output());
    std::string line;
    std::string last;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.front() == '{') {
            last = line;
        }
    }
    return parseJson(last);
}

// A non-negative integer member of a tool summary, or -1.
long long summaryCount(const std::optional<JsonValue>& summary, const std::string& key) {
    const JsonValue* value = summary ? summary->member(key) : nullptr;
    if (value == nullptr || !value->is(JsonValue::Kind::Number) || !allDigits(value->text)) {
        return -1;
    }
    return std::stoll(value->text);
}

// ---------------------------------------------------------------------------------------------
// HTTP and the /stats document.

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

const std::string* stringMember(const JsonValue* object, const std::string& key) {
    const JsonValue* value = object != nullptr ? object->member(key) : nullptr;
    return value != nullptr && value->is(JsonValue::Kind::String) ? &value->text : nullptr;
}

// Every sample is {"x":"<time>","y":<whole non-negative number>}.
bool readSamples(const JsonValue* array, std::vector<Sample>& out) {
    if (array == nullptr || !array->is(JsonValue::Kind::Array)) {
        return false;
    }
    for (const JsonValue& item : array->items) {
        const std::string* time = stringMember(&item, "x");
        const JsonValue* kbps = item.member("y");
        if (time == nullptr || kbps == nullptr || !kbps->is(JsonValue::Kind::Number) ||
            !allDigits(kbps->text) || item.members.size() != 2) {
            return false;
        }
        out.push_back({*time, std::stoll(kbps->text)});
    }
    return true;
}

bool readCallers(const JsonValue* array, std::vector<CallerRow>& out) {
    if (array == nullptr || !array->is(JsonValue::Kind::Array)) {
        return false;
    }
    for (const JsonValue& item : array->items) {
        CallerRow row;
        const std::string* url = stringMember(&item, "url");
        const std::string* created = stringMember(&item, "created");
        if (url == nullptr || created == nullptr || !readSamples(item.member("data"), row.data)) {
            return false;
        }
        row.url = *url;
        row.created = *created;
        out.push_back(std::move(row));
    }
    return true;
}

// Checks the document's shape while reading it; nullopt when anything is missing or mistyped.
std::optional<StatusDocument> readStatus(const std::string& body) {
    const std::optional<JsonValue> root = parseJson(body);
    if (!root || !root->is(JsonValue::Kind::Object)) {
        return std::nullopt;
    }
    const JsonValue* settings = root->member("settings");
    const JsonValue* stats = root->member("stats");
    const JsonValue* left = stats != nullptr ? stats->member("left") : nullptr;
    StatusDocument doc;
    const std::array<std::pair<const char*, std::string*>, 4> fields{{{"source", &doc.source},
                                                                      {"port", &doc.port},
                                                                      {"webport", &doc.webport},
                                                                      {"ver", &doc.ver}}};
    for (const auto& [key, target] : fields) {
        const std::string* value = stringMember(settings, key);
        if (value == nullptr) {
            return std::nullopt;
        }
        *target = *value;
    }
    if (left == nullptr || !readSamples(left->member("data"), doc.input) ||
        !readCallers(stats->member("right"), doc.callers)) {
        return std::nullopt;
    }
    return doc;
}

// The last /stats body seen, kept for failure messages.
struct StatusProbe {
    int webPort = 0;
    std::string lastBody;

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

// ---------------------------------------------------------------------------------------------
// Times and rates.

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

std::optional<std::time_t> sampleTime(const Sample& sample) {
    if (!fitsPattern(sample.time, "####-##-## ##:##:##")) {
        return std::nullopt;
    }
    return parseLocalTime(sample.time, "%Y-%m-%d %H:%M:%S");
}

// Samples come newest first, one per sampler pass (3 s, plus a little drift), the newest
// taken within the last pass.
void expectSampleTimeline(const std::vector<Sample>& samples, const std::string& what) {
    std::vector<std::time_t> times;
    for (const Sample& sample : samples) {
        const std::optional<std::time_t> time = sampleTime(sample);
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

// ---------------------------------------------------------------------------------------------
// Processes.

std::vector<std::string> publisherArgs(const MulticastSource& source,
                                       std::vector<std::string> more) {
    std::vector<std::string> args{"--group", source.group, "--port", std::to_string(source.port),
                                  "--iface", "127.0.0.1"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::unique_ptr<Process> startLoadClient(int srtPort, double seconds,
                                         const std::filesystem::path& dir) {
    std::ostringstream duration;
    duration << seconds;
    return startTool("vandra-loadclient",
                     {"--port", std::to_string(srtPort), "--callers", "1", "--seconds",
                      duration.str(), "--min-packets", "100"},
                     dir);
}

// A server with a publisher sending the test stream at `bitrate` for `seconds`.
struct LiveStream {
    MulticastSource source = uniqueSource();
    int srtPort = freeUdpPort();
    RunningServer server;
    std::unique_ptr<Process> publisher;
    StatusProbe status;
};

std::unique_ptr<LiveStream> startLiveStream(int bitrate, int seconds,
                                            const std::vector<std::string>& settings = {}) {
    auto live = std::make_unique<LiveStream>();
    live->server = startServer(live->source, live->srtPort, settings);
    live->status.webPort = live->server.webPort;
    live->publisher = startTool("vandra-publisher",
                                publisherArgs(live->source, {"--bitrate", std::to_string(bitrate),
                                                             "--seconds", std::to_string(seconds)}),
                                live->server.instance->dir());
    return live;
}

std::string acceptedCallerUrl(const Process& server) {
    // "accept new client <socket> <ip:port>  rightserver  <line>"
    std::istringstream log(server.output());
    for (std::string line; std::getline(log, line);) {
        std::istringstream words(line);
        std::string accept, fresh, client, socket, url;
        if (words >> accept >> fresh >> client >> socket >> url && accept == "accept" &&
            fresh == "new" && client == "client" && allDigits(socket)) {
            return url;
        }
    }
    return "";
}

// ---------------------------------------------------------------------------------------------
// The web status interface.

// Guards: the WEB folder not mounted at "/", /hi or /stats missing or mistyped, settings
// composed from the wrong values.
TEST(WebStatus, ServesFilesHiAndTheSettings) {
    const MulticastSource source = uniqueSource();
    const int srtPort = freeUdpPort();
    RunningServer server = startServer(source, srtPort);
    const int web = server.webPort;
    ASSERT_TRUE(waitUntil([&] { return httpGet(web, "/hi").has_value(); }, 5s))
        << server.process->output();

    const auto index = httpGet(web, "/");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->status, 200);
    EXPECT_NE(index->body.find("<title>Vandra Server"), std::string::npos) << index->body;
    const auto script = httpGet(web, "/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_FALSE(script->body.empty());
    const auto missing = httpGet(web, "/no-such-file.html");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);

    const auto hi = httpGet(web, "/hi");
    ASSERT_TRUE(hi);
    EXPECT_EQ(hi->status, 200);
    EXPECT_EQ(hi->body, "hi from server");
    EXPECT_EQ(hi->contentType.rfind("text/plain", 0), 0u) << hi->contentType;
    // One line per request (the readiness probe above made one or more).
    EXPECT_GE(server.process->countInOutput("hi from client  webserver  "), 2)
        << server.process->output();

    const auto stats = httpGet(web, "/stats");
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->status, 200);
    EXPECT_EQ(stats->contentType, "application/json");
    const std::optional<StatusDocument> doc = readStatus(stats->body);
    ASSERT_TRUE(doc) << stats->body;
    EXPECT_EQ(doc->source,
              "udp://@" + source.group + ":" + std::to_string(source.port) + " (127.0.0.1)");
    EXPECT_EQ(doc->port, std::to_string(srtPort));
    EXPECT_EQ(doc->webport, std::to_string(web));
    EXPECT_EQ(doc->ver, "0.5");
    EXPECT_TRUE(doc->callers.empty()) << stats->body;
    EXPECT_EQ(server.process->stop(), 128 + SIGTERM);
}

// Guards: a missing WEB folder taking /stats down with it.
TEST(WebStatus, WithoutWebFolderOnlyTheFilesAreMissing) {
    ServerInstance instance(false);
    const MulticastSource source = uniqueSource();
    const int web = freeTcpPort();
    auto server = instance.run({source.setting(), "port=" + std::to_string(freeUdpPort()),
                                "webport=" + std::to_string(web)});
    ASSERT_TRUE(waitUntil([&] { return httpGet(web, "/stats").has_value(); }, 5s))
        << server->output();
    const auto index = httpGet(web, "/");
    ASSERT_TRUE(index);
    EXPECT_EQ(index->status, 404);
    const auto stats = httpGet(web, "/stats");
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->status, 200);
    EXPECT_TRUE(readStatus(stats->body)) << stats->body;
    EXPECT_TRUE(server->running());
    EXPECT_EQ(server->stop(), 128 + SIGTERM);
}

// Guards: wrong rate arithmetic (bits vs bytes, 1000 vs 1024, milliseconds), oldest-first or
// stale histories, a caller listed before it has a sample or with the wrong address, and a
// caller that stays listed after it left.
TEST(WebStatus, InputAndCallerRatesFollowThePublisherAndTheCallerLeaves) {
    constexpr int kBitrate = 2'000'000;
    auto live = startLiveStream(kBitrate, 40);
    Process& server = *live->server.process;

    // Start the caller right after a sampler pass so that it is connected before the next.
    const auto afterPass =
        live->status.waitFor([](const StatusDocument& doc) { return doc.input.size() >= 2; }, 8s);
    ASSERT_TRUE(afterPass) << live->status.lastBody;
    const std::int64_t callerStartMs = epochMs();
    auto caller = startLoadClient(live->srtPort, 8, live->server.instance->dir());
    ASSERT_TRUE(server.waitForOutput("accept new client ", 3s)) << server.output();
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
    EXPECT_EQ(row.url, acceptedCallerUrl(server));
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

    const std::optional<int> callerStatus = caller->waitExit(15s);
    ASSERT_TRUE(callerStatus);
    EXPECT_EQ(*callerStatus, 0) << caller->output();
    EXPECT_EQ(summaryCount(toolSummary(*caller), "gaps"), 0) << caller->output();

    ASSERT_TRUE(server.waitForOutput("REMOVE", 8s)) << server.output();
    const auto gone =
        live->status.waitFor([](const StatusDocument& d) { return d.callers.empty(); }, 4s);
    EXPECT_TRUE(gone) << "caller still listed: " << live->status.lastBody;
    EXPECT_EQ(server.countInOutput("REMOVE"), 1);
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.stop(), 128 + SIGTERM);
}

// Guards: a caller that vanishes without closing (SIGKILL) never being reaped, or wedging the
// fan-out for the callers after it.
TEST(WebStatus, KilledCallerIsDroppedAfterThePeerTimeout) {
    auto live = startLiveStream(2'000'000, 40);
    Process& server = *live->server.process;
    auto caller = startLoadClient(live->srtPort, 60, live->server.instance->dir());
    ASSERT_TRUE(
        live->status.waitFor([](const StatusDocument& d) { return d.callers.size() == 1; }, 8s))
        << live->status.lastBody;

    caller->sendSignal(SIGKILL);
    EXPECT_EQ(caller->waitExit(5s), 128 + SIGKILL);
    // SRT declares the peer gone after 5 s of silence; the next pass (3 s) removes it.
    ASSERT_TRUE(server.waitForOutput("REMOVE", 12s)) << server.output();
    EXPECT_TRUE(live->status.waitFor([](const StatusDocument& d) { return d.callers.empty(); }, 4s))
        << live->status.lastBody;

    auto next = startLoadClient(live->srtPort, 2, live->server.instance->dir());
    const std::optional<int> nextStatus = next->waitExit(10s);
    ASSERT_TRUE(nextStatus);
    EXPECT_EQ(*nextStatus, 0) << next->output();
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.stop(), 128 + SIGTERM);
}

// A TCP listener on 127.0.0.1:port, closed on destruction.
class HeldTcpPort {
public:
    explicit HeldTcpPort(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        listening_ = fd_ >= 0 &&
                     ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                     ::listen(fd_, 4) == 0;
    }
    ~HeldTcpPort() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    HeldTcpPort(const HeldTcpPort&) = delete;
    HeldTcpPort& operator=(const HeldTcpPort&) = delete;
    bool listening() const { return listening_; }

private:
    int fd_;
    bool listening_ = false;
};

// Guards: a web port in use ending the process, retrying in a loop (log flood), or holding up
// the SRT side.
TEST(WebStatus, TakenWebPortIsReportedOnceAndSrtStillDelivers) {
    const int webPort = freeTcpPort();
    HeldTcpPort held(webPort);
    ASSERT_TRUE(held.listening());
    auto live = startLiveStream(2'000'000, 20, {"webport=" + std::to_string(webPort)});
    Process& server = *live->server.process;
    const std::string line = "ERROR: web server cannot listen on port " + std::to_string(webPort);
    ASSERT_TRUE(server.waitForOutput(line, 5s)) << server.output();

    auto caller = startLoadClient(live->srtPort, 3, live->server.instance->dir());
    const std::optional<int> callerStatus = caller->waitExit(12s);
    ASSERT_TRUE(callerStatus);
    EXPECT_EQ(*callerStatus, 0) << caller->output();
    const auto summary = toolSummary(*caller);
    EXPECT_EQ(summaryCount(summary, "gaps"), 0) << caller->output();
    EXPECT_EQ(summaryCount(summary, "corrupt"), 0) << caller->output();
    // 2 Mbit/s for 3 s is about 4000 packets of 188 bytes.
    EXPECT_GT(summaryCount(summary, "packets"), 2500) << caller->output();

    EXPECT_EQ(server.countInOutput(line), 1) << server.output();
    EXPECT_EQ(server.countInOutput("web server cannot listen"), 1);
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.stop(), 128 + SIGTERM);
}

// ---------------------------------------------------------------------------------------------
// The recording.

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

// Publishes and waits until the publisher has sent everything.
std::optional<JsonValue> publish(const MulticastSource& source, std::vector<std::string> args,
                                 const std::filesystem::path& dir) {
    auto publisher = startTool("vandra-publisher", publisherArgs(source, std::move(args)), dir);
    if (publisher->waitExit(15s) != 0) {
        ADD_FAILURE() << "publisher: " << publisher->output();
        return std::nullopt;
    }
    return toolSummary(*publisher);
}

// Datagrams still in the socket buffer reach the recording in well under this.
void letTheServerCatchUp() {
    std::this_thread::sleep_for(500ms);
}

struct TsCheck {
    int status = -1;
    std::optional<JsonValue> summary;
    std::string output;
};

TsCheck runTsCheck(const std::filesystem::path& file, const std::filesystem::path& dir) {
    auto check = startTool("vandra-tscheck", {file.string()}, dir);
    TsCheck result;
    result.status = check->waitExit(10s).value_or(-1);
    result.summary = toolSummary(*check);
    result.output = check->output();
    return result;
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

// Guards: lost or duplicated chunks, a partial chunk at the end, a recording not closed on
// SIGTERM, a wrong file name or folder.
TEST(Recording, DumpOneRecordsEveryChunkAndClosesOnSigterm) {
    const MulticastSource source = uniqueSource();
    RunningServer server = startServer(source, freeUdpPort(), {"dump=1"});
    const std::filesystem::path dir = server.instance->dir();
    const std::time_t before = std::time(nullptr);
    const auto sent =
        publish(source, {"--size", "1316", "--count", "400", "--bitrate", "10000000"}, dir);
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(summaryCount(sent, "datagrams"), 400);
    letTheServerCatchUp();
    EXPECT_EQ(server.process->stop(), 128 + SIGTERM);

    const auto files = recordingsIn(dir);
    expectOneRecordingNamedWithin(files, before, after);
    EXPECT_EQ(std::filesystem::file_size(files[0]), static_cast<std::uintmax_t>(400 * kChunk));
    const TsCheck check = runTsCheck(files[0], dir);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(summaryCount(check.summary, "packets"), 400 * 7) << check.output;
    EXPECT_EQ(summaryCount(check.summary, "first_seq"), 0) << check.output;
    EXPECT_EQ(server.process->countInOutput(kRecordingLine), 1);
}

// Guards: the file opened before a whole chunk exists, or chunks cut at datagram boundaries
// instead of every 1316 bytes.
TEST(Recording, DumpTrueOpensAtTheFirstWholeChunk) {
    const MulticastSource source = uniqueSource();
    RunningServer server = startServer(source, freeUdpPort(), {"dump=true"});
    const std::filesystem::path dir = server.instance->dir();
    const std::time_t before = std::time(nullptr);
    // Six 188-byte packets are 1128 bytes: not yet a chunk.
    ASSERT_EQ(summaryCount(publish(source, {"--size", "188", "--count", "6"}, dir), "datagrams"),
              6);
    letTheServerCatchUp();
    EXPECT_TRUE(recordingsIn(dir).empty());
    EXPECT_EQ(server.process->countInOutput(kRecordingLine), 0) << server.process->output();

    // Eight more make fourteen packets: two chunks, nothing left over.
    ASSERT_EQ(
        summaryCount(publish(source, {"--size", "188", "--count", "8", "--start-seq", "6"}, dir),
                     "datagrams"),
        8);
    const std::time_t after = std::time(nullptr);
    letTheServerCatchUp();
    EXPECT_EQ(server.process->stop(), 128 + SIGTERM);

    const auto files = recordingsIn(dir);
    expectOneRecordingNamedWithin(files, before, after);
    EXPECT_EQ(std::filesystem::file_size(files[0]), static_cast<std::uintmax_t>(2 * kChunk));
    const TsCheck check = runTsCheck(files[0], dir);
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(summaryCount(check.summary, "first_seq"), 0) << check.output;
    EXPECT_EQ(summaryCount(check.summary, "last_seq"), 13) << check.output;
    EXPECT_EQ(server.process->countInOutput(kRecordingLine), 1);
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
    struct Running {
        MulticastSource source = uniqueSource();
        RunningServer server;
        StatusProbe status;
    };
    std::vector<std::unique_ptr<Running>> servers;
    for (const Case& c : cases) {
        auto running = std::make_unique<Running>();
        running->server = startServer(running->source, freeUdpPort(), c.settings);
        running->status.webPort = running->server.webPort;
        servers.push_back(std::move(running));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_GT(summaryCount(publish(servers[i]->source, cases[i].publish,
                                       servers[i]->server.instance->dir()),
                               "datagrams"),
                  0);
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        Running& r = *servers[i];
        const std::string label = cases[i].settings.empty() ? "no dump" : cases[i].settings[0];
        EXPECT_TRUE(r.status.waitFor(
            [](const StatusDocument& d) {
                return std::any_of(d.input.begin(), d.input.end(),
                                   [](const Sample& s) { return s.kbps > 0; });
            },
            8s))
            << label << ": input never seen: " << r.status.lastBody;
        EXPECT_EQ(r.server.process->stop(), 128 + SIGTERM) << label;
        EXPECT_TRUE(recordingsIn(r.server.instance->dir()).empty()) << label;
        EXPECT_EQ(r.server.process->countInOutput(kRecordingLine), 0) << label;
    }
}

// ---------------------------------------------------------------------------------------------
// The dashboard in a real browser.

bool isPng(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<char, 8> head{};
    in.read(head.data(), head.size());
    return in.gcount() == 8 && std::string(head.data(), 8) == "\x89PNG\r\n\x1a\n";
}

// Guards: a page that does not render /stats as the real server sends it (input chart,
// rate, one card per caller) in Chromium.
TEST(Dashboard, RendersInputAndCallerInChromium) {
    if (!std::filesystem::exists("/usr/bin/chromium")) {
        GTEST_SKIP() << "no /usr/bin/chromium";
    }
    auto live = startLiveStream(2'000'000, 60);
    const std::filesystem::path dir = live->server.instance->dir();
    auto caller = startLoadClient(live->srtPort, 60, dir);
    ASSERT_TRUE(live->status.waitFor(
        [](const StatusDocument& d) {
            return d.input.size() >= 3 && d.callers.size() == 1 && !d.callers[0].data.empty();
        },
        12s))
        << live->status.lastBody;

    const std::filesystem::path artifacts =
        std::filesystem::path(VANDRA_BINARY_DIR) / "tests" / "artifacts";
    std::filesystem::create_directories(artifacts);
    const std::filesystem::path screenshot = artifacts / "dashboard.png";
    std::filesystem::remove(screenshot);
    const std::string script = std::string(VANDRA_SOURCE_DIR) + "/tests/e2e/dashboard_check.py";
    auto check = Process::start({"/usr/bin/env", "python3", script, "--url",
                                 "http://127.0.0.1:" + std::to_string(live->server.webPort) + "/",
                                 "--screenshot", screenshot.string(), "--expect-callers", "1",
                                 "--timeout", "40"},
                                dir, dir / "dashboard_check.log");
    const std::optional<int> status = check->waitExit(100s);
    ASSERT_TRUE(status) << check->output();
    EXPECT_EQ(*status, 0) << check->output();
    EXPECT_TRUE(isPng(screenshot)) << screenshot;

    caller->stop();
    live->publisher->stop();
    EXPECT_EQ(live->server.process->stop(), 128 + SIGTERM);
}

} // namespace
} // namespace vandra::e2e
