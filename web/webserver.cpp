#include "web/webserver.h"

#include <chrono>
#include <cstring>

#include <httplib.h>

#include "app/logger.h"
#include "app/mainapp.h"
#include "app/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "webserver";
constexpr const char* kVersion = VANDRA_VERSION;
} // namespace

WebServer::WebServer(std::int32_t webPort)
    : server_(std::make_unique<httplib::Server>()), webPort_(webPort) {
    composeSettings();
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

void WebServer::composeSettings() {
    LeftServer& left = *g_mainApp->getLeftServer();
    std::string source = "udp://@" + jsonEscape(left.group()) + ":" + jsonEscape(left.port());
    if (!left.iface().empty()) {
        source += " (" + jsonEscape(left.iface()) + ")";
    }
    settingsText_ = "\"source\":\"" + source + "\",\"port\":\"" + std::to_string(left.srt().port) +
                    "\",\"webport\":\"" + std::to_string(webPort_) + "\",\"ver\":\"" + kVersion +
                    "\"";
}

std::string WebServer::composeStatus() const {
    // The input series and the caller list are taken under their own locks, one after the
    // other; the input history's lock is never held together with the clients lock.
    const std::string input = g_mainApp->getLeftServer()->inputHistory().toJson();
    const std::string callers = g_mainApp->getRightServer()->clientsJson();
    return "{\"settings\":{" + settingsText_ + "},\"stats\":{\"left\":{\"data\":" + input +
           "},\"right\":[" + callers + "]}}";
}

void WebServer::setup() {
    const std::string folder = exeDirectory() + "/WEB";
    LOG_LINE << "web folder: " << folder;
    server_->set_mount_point("/", folder, httplib::Headers());
    server_->Get("/hi", [](const httplib::Request&, httplib::Response& response) {
        LOG_LINE << "hi from client";
        response.set_content("hi from server", "text/plain");
    });
    server_->Get("/stats", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(composeStatus(), "application/json");
    });
    serverThread_ = std::make_unique<std::thread>(&WebServer::runServer, this);
}

void WebServer::runServer() {
    if (!server_->bind_to_port("0.0.0.0", webPort_, 0)) {
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
