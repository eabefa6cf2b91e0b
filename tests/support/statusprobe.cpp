#include "statusprobe.h"

#include <algorithm>
#include <cctype>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>

#include <gtest/gtest.h>
#include <httplib.h>

namespace vandra::e2e {

bool fitsPattern(std::string_view text, std::string_view pattern) {
    return text.size() == pattern.size() &&
           std::equal(text.begin(), text.end(), pattern.begin(), [](char c, char p) {
               return p == '#' ? std::isdigit(static_cast<unsigned char>(c)) != 0 : c == p;
           });
}

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

double kbpsOf(int bitsPerSecond) {
    return bitsPerSecond / 1024.0;
}

std::optional<HttpReply> httpGet(int port, const std::string& path, const QueryParams& params,
                                 const HttpAsker& asker) {
    httplib::Client client(asker.host, port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    if (!asker.name.empty()) {
        client.set_basic_auth(asker.name.c_str(), asker.password.c_str());
    }
    const httplib::Result result = client.Get(path.c_str(), params, httplib::Headers{});
    if (!result) {
        return std::nullopt;
    }
    return HttpReply{result->status, result->body, result->get_header_value("WWW-Authenticate")};
}

namespace {
using Json = nlohmann::ordered_json;

// An object with exactly these members, in this order.
bool hasMembers(const Json& object, std::initializer_list<const char*> keys) {
    return object.is_object() && object.size() == keys.size() &&
           std::equal(keys.begin(), keys.end(), object.items().begin(),
                      [](const char* key, const auto& item) { return item.key() == key; });
}

// Every sample is {"x":"<time>","y":<whole non-negative number>}.
std::optional<std::vector<Sample>> samplesOf(const Json& data) {
    if (!data.is_array()) {
        return std::nullopt;
    }
    std::vector<Sample> samples;
    for (const Json& point : data) {
        if (!hasMembers(point, {"x", "y"}) || !point["x"].is_string() ||
            !point["y"].is_number_unsigned()) {
            return std::nullopt;
        }
        samples.push_back({point["x"].get<std::string>(), point["y"].get<long long>()});
    }
    return samples;
}

bool allStrings(const Json& object) {
    return std::all_of(object.begin(), object.end(), [](const Json& v) { return v.is_string(); });
}
} // namespace

std::optional<StatusDocument> readStatus(const std::string& body) {
    const Json json = Json::parse(body, nullptr, false);
    // Written back compactly it must be the same text: no white space, members in order.
    if (json.is_discarded() || json.dump() != body || !hasMembers(json, {"settings", "stats"}) ||
        !hasMembers(json["settings"], {"source", "port", "webport", "ver"}) ||
        !allStrings(json["settings"]) || !hasMembers(json["stats"], {"left", "right"}) ||
        !hasMembers(json["stats"]["left"], {"data"}) || !json["stats"]["right"].is_array()) {
        return std::nullopt;
    }
    StatusDocument doc;
    const Json& settings = json["settings"];
    doc.source = settings["source"];
    doc.port = settings["port"];
    doc.webport = settings["webport"];
    const auto input = samplesOf(json["stats"]["left"]["data"]);
    for (const Json& caller : json["stats"]["right"]) {
        const auto data = caller.is_object() ? samplesOf(caller["data"]) : std::nullopt;
        if (!hasMembers(caller, {"url", "created", "data"}) || !caller["url"].is_string() ||
            !caller["created"].is_string() || !data) {
            return std::nullopt;
        }
        doc.callers.push_back({caller["url"], caller["created"], *data});
    }
    if (!input) {
        return std::nullopt;
    }
    doc.input = *input;
    return doc;
}

std::optional<StatusDocument> StatusProbe::fetch() {
    const std::optional<HttpReply> reply = httpGet(webPort, "/stats");
    lastBody = reply ? reply->body : "(no answer)";
    if (!reply || reply->status != 200) {
        return std::nullopt;
    }
    return readStatus(reply->body);
}

std::optional<StatusDocument>
StatusProbe::waitFor(const std::function<bool(const StatusDocument&)>& done,
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

std::unique_ptr<WebFixture> startLiveStream(int bitrate, int seconds,
                                            const std::vector<std::string>& settings) {
    auto live = std::make_unique<WebFixture>(settings);
    live->publisher = live->startPublisher(
        {"--bitrate", std::to_string(bitrate), "--seconds", std::to_string(seconds)});
    return live;
}

} // namespace vandra::e2e
