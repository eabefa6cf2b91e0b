#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

// The web side as its tests read it: GETs, the /stats document, and a server with both.
namespace vandra::e2e {

// `pattern` is literal text in which each '#' stands for one decimal digit.
bool fitsPattern(std::string_view text, std::string_view pattern);
// Local time text read with std::get_time's `format`; empty unless all of it fits.
std::optional<std::time_t> parseLocalTime(const std::string& text, const char* format);
// A rate in bit/s as the server shows it: kbit/s of 1024 bits.
double kbpsOf(int bitsPerSecond);

struct HttpReply {
    int status = 0; // 0: no answer
    std::string body;
    std::string challenge; // WWW-Authenticate
};

// Query parameters, the same type as httplib::Params.
using QueryParams = std::multimap<std::string, std::string>;

// Who asks: from which address, with which HTTP Basic credentials (none when `name` is empty).
struct HttpAsker {
    std::string host = "127.0.0.1";
    std::string name;
    std::string password;
};

// A GET on the asker's host at `port`; empty when no answer came.
std::optional<HttpReply> httpGet(int port, const std::string& path, const QueryParams& params = {},
                                 const HttpAsker& asker = {});

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
    std::vector<Sample> input;
    std::vector<CallerRow> callers;
};

// Reads /stats as the server composes it: valid JSON in a fixed layout (key order, no white
// space), so a missing, extra, misplaced or mistyped member fails.
std::optional<StatusDocument> readStatus(const std::string& body);

// The last /stats body seen, kept for failure messages.
struct StatusProbe {
    int webPort;
    std::string lastBody;

    explicit StatusProbe(int port) : webPort(port) {}
    std::optional<StatusDocument> fetch();
    // Polls until a well-formed document satisfies `done`.
    std::optional<StatusDocument> waitFor(const std::function<bool(const StatusDocument&)>& done,
                                          std::chrono::milliseconds timeout);
};

// A server, its /stats and, once started, a publisher.
struct WebFixture : ServerFixture {
    StatusProbe status{webPort};
    std::unique_ptr<Process> publisher;

    explicit WebFixture(const std::vector<std::string>& settings = {}) : ServerFixture(settings) {}
};

// A server with a publisher sending the test stream at `bitrate` for `seconds`.
std::unique_ptr<WebFixture> startLiveStream(int bitrate, int seconds,
                                            const std::vector<std::string>& settings = {});

} // namespace vandra::e2e
