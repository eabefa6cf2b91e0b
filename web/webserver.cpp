#include "web/webserver.h"

#include <chrono>
#include <cstring>

#include <httplib.h>

#include "core/logger.h"
#include "core/utils.h"
#include "ingest/leftserver.h"
#include "platform/platform.h"
#include "srt/rightserver.h"
#include "web/statusroutes.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "webserver";
constexpr const char* kVersion = VANDRA_VERSION;
} // namespace

WebServer::WebServer(std::int32_t webPort, const LeftServer& input, const RightServer& callers,
                     std::int32_t srtPort, WebAccess access)
    : input_(input), callers_(callers), server_(std::make_unique<httplib::Server>()),
      webPort_(webPort), access_(std::move(access)) {
    composeSettings(srtPort);
    setup();
}

WebServer::~WebServer() {
    // stop() only takes once the socket is bound; keep asking until the thread has ended.
    for (int attempt = 0; attempt < 500 && !serverEnded_.load(); ++attempt) {
        server_->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (serverThread_ && serverThread_->joinable()) {
        serverThread_->join();
    }
}

bool WebServer::isListening() const {
    return server_->is_running();
}

void WebServer::composeSettings(std::int32_t srtPort) {
    std::string source = "udp://@" + jsonEscape(input_.group()) + ":" + jsonEscape(input_.port());
    if (!input_.iface().empty()) {
        source += " (" + jsonEscape(input_.iface()) + ")";
    }
    settingsText_ = "\"source\":\"" + source + "\",\"port\":\"" + std::to_string(srtPort) +
                    "\",\"webport\":\"" + std::to_string(webPort_) + "\",\"ver\":\"" + kVersion +
                    "\"";
}

std::string WebServer::composeStatus() const {
    // The input series and the caller list are taken under their own locks, one after the
    // other; the input history's lock is never held together with the clients lock.
    const std::string input = input_.inputHistory().toJson();
    const std::string callers = callers_.clientsJson();
    return "{\"settings\":{" + settingsText_ + "},\"stats\":{\"left\":{\"data\":" + input +
           "},\"right\":[" + callers + "]}}";
}

void WebServer::setup() {
    const std::string folder = exeDirectory() + "/WEB";
    LOG_LINE << "web folder: " << folder;
    // Only SO_REUSEADDR: the library's default adds SO_REUSEPORT, with which a second server
    // on the same port listens too and the two answer requests in turn.
    server_->set_socket_options([](int sock) {
        if (!platform::setReuseAddress(sock)) {
            LOG_LINE << "-- cannot set SO_REUSEADDR on the web socket: "
                     << platform::lastSocketError();
        }
    });
    // Scrapers keep their connection open: without this each answer's second write waits for
    // the client's delayed acknowledgement, some 40 ms.
    server_->set_tcp_nodelay(true);
    if (access_.auth) {
        access_.auth->guard(*server_);
    }
    server_->set_mount_point("/", folder, httplib::Headers());
    server_->Get("/hi", [](const httplib::Request&, httplib::Response& response) {
        LOG_LINE << "hi from client";
        response.set_content("hi from server", "text/plain");
    });
    server_->Get("/stats", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(composeStatus(), "application/json");
    });
    addStatusRoutes(*server_, collector_);
    serverThread_ = std::make_unique<std::thread>(&WebServer::runServer, this);
}

void WebServer::runServer() {
    // Like the SRT port, a value above 65535 is taken by its low 16 bits.
    if (!server_->bind_to_port(access_.nic, webPort_ & 0xffff, 0)) {
        const int error = errno;
        LOG_LINE << "ERROR: web server cannot listen on port " << webPort_ << ": "
                 << std::strerror(error) << "; running without HTTP";
        serverEnded_.store(true);
        return;
    }
    server_->listen_after_bind();
    serverEnded_.store(true);
}

} // namespace vandra
