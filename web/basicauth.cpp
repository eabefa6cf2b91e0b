#include "web/basicauth.h"

#include <algorithm>

#include "core/clock.h"
#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "basicauth";
constexpr std::int64_t kRefusalLogIntervalMs = 10'000;
constexpr std::string_view kScheme = "basic ";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    return c == '/' ? 63 : -1;
}

// 1 when equal. Runs over the longer of the two whatever their bytes, so that the time tells
// nothing about where they differ.
unsigned equalInConstantTime(std::string_view a, std::string_view b) {
    const std::size_t length = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < length; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0 ? 1 : 0;
}
} // namespace

namespace {
std::vector<std::string> credentialsOf(const CredentialFile& users) {
    std::vector<std::string> credentials;
    for (const auto& [name, password] : users.secrets()) {
        credentials.push_back(name + ":" + password);
    }
    return credentials;
}
} // namespace

BasicAuth::BasicAuth(const CredentialFile& users)
    : credentials_(credentialsOf(users)), refusals_(kRefusalLogIntervalMs) {}

void BasicAuth::replaceUsers(const CredentialFile& users) {
    std::vector<std::string> credentials = credentialsOf(users);
    MutexLock lock(credentialsMutex_);
    credentials_.swap(credentials);
}

std::optional<std::string> BasicAuth::decodeBase64(std::string_view text) {
    while (!text.empty() && text.back() == '=') {
        text.remove_suffix(1);
    }
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    std::string bytes;
    std::uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        const int value = base64Value(c);
        if (value < 0) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes += static_cast<char>((bits >> held) & 0xff);
        }
    }
    return bytes;
}

bool BasicAuth::allows(std::string_view authorization) const {
    if (authorization.size() > kMaxCredentialsText || authorization.size() < kScheme.size() ||
        toLower(std::string(authorization.substr(0, kScheme.size()))) != kScheme) {
        return false;
    }
    const std::optional<std::string> presented =
        decodeBase64(trim(std::string(authorization.substr(kScheme.size()))));
    if (!presented) {
        return false;
    }
    unsigned matches = 0;
    MutexLock lock(credentialsMutex_);
    for (const std::string& credential : credentials_) {
        matches |= equalInConstantTime(*presented, credential);
    }
    return matches != 0;
}

void BasicAuth::logRefusal(const std::string& peer) const {
    MutexLock lock(logMutex_);
    if (refusals_.allow(steadyMs())) {
        LOG_LINE << "-- web request from " << escapeForLog(peer) << " refused: wrong name or "
                 << "password (" << refusals_.suppressed() << " more in the previous 10 s)";
    }
}

std::optional<HttpReply> BasicAuth::refusal(const HttpRequest& request) const {
    if (request.path == "/hi") {
        return std::nullopt;
    }
    const std::optional<std::string> authorization = request.header("Authorization");
    if (authorization && allows(*authorization)) {
        return std::nullopt;
    }
    // A browser asks without credentials first; only wrong ones are worth a line.
    if (authorization) {
        logRefusal(request.peer);
    }
    HttpReply reply = HttpReply::text(401, "authentication required\n", "text/plain");
    reply.headers.emplace_back("WWW-Authenticate", "Basic realm=\"vandra\"");
    return reply;
}

} // namespace vandra
