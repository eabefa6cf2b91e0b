#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "srt/clienthandler.h"
#include "srt/srtlistenparams.h"

namespace vandra {

// The registry of connected SRT callers: accepts them, copies every input chunk into each
// caller's buffer, samples and removes finished callers. Thread safe.
// Lock order: clientsMutex_ first, then a ring buffer's or a history's mutex.
class RightServer {
public:
    RightServer() = default;
    ~RightServer();
    RightServer(const RightServer&) = delete;
    RightServer& operator=(const RightServer&) = delete;

    // Creates the SRT listener and starts the accept thread; false (logged) on failure.
    bool start(SrtListenParams params);
    // Receiver thread: copies one chunk into the buffer of every caller that has one.
    void broadcast(const std::uint8_t* data, std::int32_t length);
    // Sampler thread: samples active callers, removes and joins finished ones.
    void sampleAndReap(std::string time, std::int64_t nowMs);
    // The callers that have samples, in accept order, as JSON objects joined by ",".
    std::string clientsJson() const;

    // Registers a started handler at the end of the list.
    void addClient(std::unique_ptr<ClientHandler> client);
    std::unique_ptr<ClientHandler> makeClient() {
        return std::make_unique<ClientHandler>(clientsMutex_, liveMode_);
    }
    std::size_t clientCount() const;

private:
    void acceptLoop(std::int32_t listenSocket);

    // guards clients_ and every caller's ring pointer
    mutable std::mutex clientsMutex_;
    std::list<std::unique_ptr<ClientHandler>> clients_;
    std::unique_ptr<std::thread> acceptThread_; // runs for the life of the process
    static constexpr int kTrimSamples = 3;
    int trimSamplesLeft_ = 0; // sampler only: samples that still give freed memory back
    bool liveMode_ = true;    // set by start, before the first caller
};

} // namespace vandra
