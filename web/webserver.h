#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "web/statuscollector.h"
#include "web/webaccess.h"

namespace httplib {
class Server;
}

namespace vandra {

class LeftServer;
class RightServer;

// The HTTP side: the WEB folder beside the executable at "/", "/hi", "/stats", "/metrics" and
// "/api/v1/status". Listens on one or all IPv4 interfaces on a thread of its own; requests run
// on the library's workers.
class WebServer {
public:
    // Shows `input` and `callers`, which outlive it; `srtPort` is the SRT listening port.
    WebServer(std::int32_t webPort, const LeftServer& input, const RightServer& callers,
              std::int32_t srtPort, WebAccess access = {});
    // Stops the server and joins its thread (the running server never gets here).
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // The status document for "/stats". Thread safe.
    std::string composeStatus() const;
    const std::string& settingsText() const { return settingsText_; }
    // True once the port is bound and requests are answered.
    bool isListening() const;

private:
    void composeSettings(std::int32_t srtPort);
    void setup();
    void runServer();

    const LeftServer& input_;
    const RightServer& callers_;
    const StatusCollector collector_{input_, callers_};
    std::unique_ptr<std::thread> serverThread_;
    std::unique_ptr<httplib::Server> server_;
    const std::int32_t webPort_;
    const WebAccess access_;
    std::string settingsText_; // composed once, read without a lock
    std::atomic<bool> serverEnded_{false};
};

} // namespace vandra
