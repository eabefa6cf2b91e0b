#include "srt/rightserver.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <vector>

#include <srt/srt.h>

#include "app/logger.h"
#include "app/utils.h"
#include "platform/platform.h"
#include "srt/srtlistener.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "rightserver";
constexpr int kAcceptFailedStatus = -4;

std::string addressText(const sockaddr_storage& peer) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(peer);
    char host[22] = {};
    inet_ntop(AF_INET, &ipv4.sin_addr, host, sizeof(host));
    return std::string(host) + ":" + std::to_string(ntohs(ipv4.sin_port));
}
} // namespace

RightServer::~RightServer() {
    // The accept thread lives as long as the process; a registry that is destroyed (tests)
    // never started one.
    if (acceptThread_ && acceptThread_->joinable()) {
        acceptThread_->detach();
    }
}

bool RightServer::start(SrtListenParams params) {
    liveMode_ = params.latency != 0;
    const std::int32_t sock = createSrtListener(params, true);
    LOG_LINE << "start right server to " << params.port << " sock:" << sock;
    if (sock > 0) {
        acceptThread_ = std::make_unique<std::thread>(&RightServer::acceptLoop, this, sock);
        return true;
    }
    LOG_LINE << "The server is already running on this port. Please, close previous or change "
                "port in ini file !!!";
    return false;
}

void RightServer::acceptLoop(std::int32_t listenSocket) {
    sockaddr_storage peer{};
    int peerLength = sizeof(peer);
    for (SRTSOCKET client =
             srt_accept(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength);
         client != SRT_INVALID_SOCK;
         client = srt_accept(listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength)) {
        const std::string url = addressText(peer);
        LOG_LINE << "accept new client " << client << " " << url;
        auto handler = makeClient();
        handler->start(client);
        handler->setUrl(url);
        addClient(std::move(handler));
        peerLength = sizeof(peer);
    }
    LOG_LINE << "fail accept - invalid socket";
    platform::consolePause();
    std::exit(kAcceptFailedStatus);
}

void RightServer::addClient(std::unique_ptr<ClientHandler> client) {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    clients_.push_back(std::move(client));
}

std::size_t RightServer::clientCount() const {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    return clients_.size();
}

void RightServer::broadcast(const std::uint8_t* data, std::int32_t length) {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (const auto& client : clients_) {
        client->deliver(data, length);
    }
}

void RightServer::sampleAndReap(std::string time, std::int64_t nowMs) {
    std::vector<ClientHandler*> finished;
    {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        for (const auto& client : clients_) {
            if (client->isActive()) {
                client->sampleBitrate(time, nowMs);
            } else {
                finished.push_back(client.get());
            }
        }
        for (ClientHandler* done : finished) {
            LOG_LINE << "REMOVE";
            // Destroying the handler joins its thread, which no longer needs this lock.
            clients_.remove_if([done](const auto& client) { return client.get() == done; });
        }
    }
    // SRT frees a closed socket's buffers a few seconds later, so the trim is repeated on the
    // next samples too. Outside the lock: it walks every heap.
    trimSamplesLeft_ = finished.empty() ? trimSamplesLeft_ : kTrimSamples;
    if (trimSamplesLeft_ > 0) {
        --trimSamplesLeft_;
        platform::releaseFreedMemory();
    }
}

std::string RightServer::clientsJson() const {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    std::string json;
    for (const auto& client : clients_) {
        const std::string series = client->history().toJson();
        if (series == "[]") {
            continue;
        }
        if (!json.empty()) {
            json += ',';
        }
        json += "{\"url\":\"";
        json += jsonEscape(client->url());
        json += "\",\"created\":\"";
        json += std::to_string(client->created());
        json += "\",\"data\":";
        json += series;
        json += '}';
    }
    return json;
}

} // namespace vandra
