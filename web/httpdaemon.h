#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/ratelimiter.h"
#include "web/connectionbook.h"
#include "web/httpmessage.h"
#include "web/tcplistener.h"

struct MHD_Daemon;

namespace vandra {

// Serves HTTP/1.1 on a listening socket from one thread and one epoll loop: a slow or idle
// client holds a descriptor and a little memory, never a thread. Requests are answered by a
// handler on that thread, so it must not block. Limits: connections in total and per peer
// address (an idle one makes room for a newcomer, see ConnectionBook), a request header of at
// most kConnectionMemory bytes, and an idle connection is closed after kIdleTimeoutS.
class HttpDaemon {
public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    static constexpr ConnectionBook::Limits kLimits{512, 128};
    // The library refuses connections past these; the book's limits act first.
    static constexpr unsigned kHardTotal = 576;
    static constexpr unsigned kHardPerAddress = 160;
    static constexpr unsigned kIdleTimeoutS = 10;
    static constexpr std::size_t kConnectionMemory = 32 * 1024;

    explicit HttpDaemon(Handler handler);
    ~HttpDaemon();
    HttpDaemon(const HttpDaemon&) = delete;
    HttpDaemon& operator=(const HttpDaemon&) = delete;

    // Starts serving on `listener`, which the daemon then owns. False (logged) on failure, and
    // the listener closed: the library leaves a socket open when it refuses to start.
    bool start(TcpListener listener);
    bool running() const { return daemon_ != nullptr; }

private:
    friend struct HttpDaemonCallbacks;
    struct Stopper {
        void operator()(MHD_Daemon* daemon) const;
    };

    Handler handler_;
    // Touched only on the daemon's thread (every callback runs there).
    ConnectionBook book_{kLimits};
    RateLimiter evictionLog_{10'000};
    RateLimiter libraryLog_{10'000};
    RateLimiter socketOptionLog_{10'000};
    std::unique_ptr<MHD_Daemon, Stopper> daemon_;
};

} // namespace vandra
