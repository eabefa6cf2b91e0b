#pragma once

#include <cstdint>
#include <string>

namespace vandra {

// A TCP socket listening on one IPv4 address, closed on destruction unless handed on.
class TcpListener {
public:
    // Binds `address`:`port` with SO_REUSEADDR only: with SO_REUSEPORT a second server on the
    // same port would listen too and the two would answer in turn. On failure the result is
    // not valid and `error` says why.
    static TcpListener open(const std::string& address, int port, std::string& error);

    TcpListener() = default;
    ~TcpListener();
    TcpListener(TcpListener&& other) noexcept;
    TcpListener& operator=(TcpListener&& other) noexcept;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Gives the socket to a new owner, who closes it.
    int release();

private:
    explicit TcpListener(int fd) : fd_(fd) {}
    int fd_ = -1;
};

} // namespace vandra
