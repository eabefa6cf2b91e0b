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

// Adds each sample {"x":"<time>","y":<whole non-negative number>}; false when one is not.
bool readSamples(const Json& data, std::vector<Sample>& samples) {
    for (const Json& point : data) {
        if (!hasMembers(point, {"x", "y"}) || !point["x"].is_string() ||
            !point["y"].is_number_unsigned()) {
            return false;
        }
        samples.push_back({point["x"].get<std::string>(), point["y"].get<long long>()});
    }
    return data.is_array();
}
} // namespace

std::optional<StatusDocument> readStatus(const std::string& body) {
    const Json json = Json::parse(body, nullptr, false);
    StatusDocument doc;
    // Written back compactly it must be the same text: no white space, members in order.
    if (json.is_discarded() || json.dump() != body || !hasMembers(json, {"settings", "stats"}) ||
        !hasMembers(json["settings"], {"source", "port", "webport", "ver"}) ||
        !std::all_of(json["settings"].begin(), json["settings"].end(),
                     [](const Json& value) { return value.is_string(); }) ||
        !hasMembers(json["stats"], {"left", "right"}) ||
        !hasMembers(json["stats"]["left"], {"data"}) || !json["stats"]["right"].is_array() ||
        !readSamples(json["stats"]["left"]["data"], doc.input)) {
        return std::nullopt;
    }
    doc.source = json["settings"]["source"];
    doc.port = json["settings"]["port"];
    doc.webport = json["settings"]["webport"];
    for (const Json& caller : json["stats"]["right"]) {
        CallerRow row;
        if (!hasMembers(caller, {"url", "created", "data"}) || !caller["url"].is_string() ||
            !caller["created"].is_string() || !readSamples(caller["data"], row.data)) {
            return std::nullopt;
        }
        row.url = caller["url"];
        row.created = caller["created"];
        doc.callers.push_back(row);
    }
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
