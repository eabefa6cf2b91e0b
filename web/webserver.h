#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "web/addressratelimiter.h"
#include "web/httpmessage.h"
#include "web/staticfolder.h"
#include "web/statuscollector.h"
#include "web/webaccess.h"

namespace vandra {

class HttpDaemon;
class LeftServer;
class RightServer;

// The HTTP side: the WEB folder beside the executable at "/", "/hi", "/stats", "/metrics" and
// "/api/v1/status". Listens on one or all IPv4 interfaces; requests are answered on the HTTP
// daemon's thread.
class WebServer {
public:
    // Shows `input` and `callers`, which outlive it; `srtPort` is the SRT listening port.
    WebServer(std::int32_t webPort, const LeftServer& input, const RightServer& callers,
              std::int32_t srtPort, WebAccess access = {});
    // Stops serving; requests being answered are finished first.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // The status document for "/stats". Thread safe.
    std::string composeStatus() const;
    const std::string& settingsText() const { return settingsText_; }
    // True once the port is bound and requests are answered.
    bool isListening() const;

    // The answer to one request. Called on the daemon's thread.
    HttpReply answer(const HttpRequest& request) const;

private:
    void composeSettings(std::int32_t srtPort);
    void startServing();
    std::optional<HttpReply> answerRoute(const HttpRequest& request) const;
    void logGreeting(const std::string& peer) const;

    const LeftServer& input_;
    const RightServer& callers_;
    const std::int32_t webPort_;
    const WebAccess access_;
    const StatusCollector collector_{input_, callers_, access_.auth != nullptr};
    std::string settingsText_; // composed once, read without a lock
    StaticFolder folder_;
    std::unique_ptr<HttpDaemon> daemon_;
    // "/hi" needs no password, so its line is limited per address: 5 a second in full, then
    // one a second
    mutable AddressRateLimiter greetings_{5, 1000, 4096};
};

} // namespace vandra
