#include "web/webserver.h"

#include "core/clock.h"
#include "core/logger.h"
#include "core/utils.h"
#include "ingest/leftserver.h"
#include "srt/rightserver.h"
#include "web/httpdaemon.h"
#include "web/statusroutes.h"
#include "web/tcplistener.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "webserver";
constexpr const char* kVersion = VANDRA_VERSION;

bool isGetOrHead(const HttpRequest& request) {
    return request.method == "GET" || request.method == "HEAD";
}
} // namespace

WebServer::WebServer(std::int32_t webPort, const LeftServer& input, const RightServer& callers,
                     std::int32_t srtPort, WebAccess access)
    : input_(input), callers_(callers), webPort_(webPort), access_(std::move(access)),
      folder_(exeDirectory() + "/WEB") {
    composeSettings(srtPort);
    startServing();
}

WebServer::~WebServer() = default;

bool WebServer::isListening() const {
    return daemon_ && daemon_->running();
}

void WebServer::composeSettings(std::int32_t srtPort) {
    std::string source = "udp://" + jsonEscape(input_.sender()) + "@" + jsonEscape(input_.group()) +
                         ":" + jsonEscape(input_.port());
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

void WebServer::startServing() {
    LOG_LINE << "web folder: " << exeDirectory() << "/WEB";
    std::string error;
    // Like the SRT port, a value above 65535 is taken by its low 16 bits.
    TcpListener listener = TcpListener::open(access_.nic, webPort_ & 0xffff, error);
    if (!listener.valid()) {
        LOG_LINE << "ERROR: web server cannot listen on port " << webPort_ << ": " << error
                 << "; running without HTTP";
        return;
    }
    auto daemon = std::make_unique<HttpDaemon>(
        [this](const HttpRequest& request) { return answer(request); });
    if (daemon->start(std::move(listener))) {
        daemon_ = std::move(daemon);
    }
}

HttpReply WebServer::answer(const HttpRequest& request) const {
    if (access_.auth) {
        if (std::optional<HttpReply> refusal = access_.auth->refusal(request)) {
            return std::move(*refusal);
        }
    }
    // Files come first, as a file named like a route is meant to replace it.
    if (isGetOrHead(request)) {
        if (std::optional<std::string> file = folder_.fileFor(request.path)) {
            HttpReply reply;
            reply.contentType = StaticFolder::contentTypeOf(*file);
            reply.file = std::move(*file);
            return reply;
        }
    }
    return answerRoute(request).value_or(HttpReply::text(404, "", ""));
}

void WebServer::logGreeting(const std::string& peer) const {
    const std::optional<std::int64_t> held = greetings_.allow(peer, steadyMs());
    if (!held) {
        return;
    }
    if (*held == 0) {
        LOG_LINE << "hi from client";
        return;
    }
    LOG_LINE << "hi from client"
             << " (" << *held << " more from " << escapeForLog(peer) << " since its previous line)";
}

std::optional<HttpReply> WebServer::answerRoute(const HttpRequest& request) const {
    if (std::optional<HttpReply> status = answerStatusRoute(request, collector_)) {
        return status;
    }
    if (!isGetOrHead(request)) {
        return std::nullopt;
    }
    if (request.path == "/hi") {
        logGreeting(request.peer);
        return HttpReply::text(200, "hi from server", "text/plain");
    }
    if (request.path == "/stats") {
        return HttpReply::text(200, composeStatus(), "application/json");
    }
    return std::nullopt;
}

} // namespace vandra
