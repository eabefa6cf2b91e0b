#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <string_view>

// What the test tools share besides the stream format: stopping on a signal, the one JSON
// line each reports, and an owned UDP socket.
namespace vandra::tool {

inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// SIGTERM and SIGINT only raise a flag. No SA_RESTART: a blocking wait returns at once.
void installStopHandlers();
bool stopRequested();

// Opens `tool`, runs it until it is done or stopped, and prints its report.
template <typename Tool> int openRunAndReport(Tool& tool) {
    if (!tool.open()) {
        return kExitFailed;
    }
    tool.run();
    tool.report();
    return 0;
}

// A flat JSON object built field by field, in the order the readers of the tools expect.
class JsonLine {
public:
    JsonLine& number(std::string_view key, std::uint64_t value);
    // null when absent, so that "none seen" cannot read as 0
    JsonLine& numberOrNull(std::string_view key, bool present, std::uint64_t value);
    JsonLine& millisecondsOrNull(std::string_view key, bool present, std::uint64_t us);
    JsonLine& object(std::string_view key, const JsonLine& inner);
    std::string text() const { return "{" + fields_ + "}"; }
    // The line on stdout, flushed: a test may read it while the tool's process lingers.
    void print() const;

private:
    JsonLine& field(std::string_view key, const std::string& value);
    std::string fields_;
};

class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    bool setBuffer(int option, int bytes) const; // SO_SNDBUF or SO_RCVBUF
    bool bind(const sockaddr_in& address) const;
    bool connect(const sockaddr_in& address) const;

private:
    int fd_;
};

} // namespace vandra::tool
