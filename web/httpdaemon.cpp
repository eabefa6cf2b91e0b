#include "web/httpdaemon.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/logger.h"
#include "core/utils.h"

namespace vandra {

namespace {
constexpr const char* kLogUnit = "httpdaemon";

// Where a request stands between the library's calls: its header read, or its answer queued
// (later calls only carry its body, which is dropped).
int gHeadersRead = 0;
int gAnswered = 0;

bool hasBody(MHD_Connection* connection) {
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return (length != nullptr && std::string_view(length) != "0") ||
           MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                       MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
}

std::uint32_t ipv4Of(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return 0;
    }
    return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}

std::string peerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr ||
        info->client_addr->sa_family != AF_INET) {
        return "?";
    }
    const auto* peer = reinterpret_cast<const sockaddr_in*>(info->client_addr);
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer->sin_addr, text, sizeof(text));
    return text;
}

MHD_Result collectHeader(void* headers, MHD_ValueKind, const char* key, const char* value) {
    static_cast<HttpRequest*>(headers)->headers.emplace_back(key, value != nullptr ? value : "");
    return MHD_YES;
}

// The file as a body the library sends with sendfile; null when it cannot be opened.
MHD_Response* fileResponse(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    // Takes the descriptor over, also when it fails.
    return MHD_create_response_from_fd64(static_cast<std::uint64_t>(info.st_size), fd);
}

MHD_Response* responseFor(HttpReply& reply) {
    MHD_Response* response = nullptr;
    if (!reply.file.empty()) {
        response = fileResponse(reply.file);
        if (response == nullptr) {
            reply = HttpReply::text(404, "", "");
        }
    }
    if (response == nullptr) {
        response = MHD_create_response_from_buffer(reply.body.size(), reply.body.data(),
                                                   MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr) {
        return nullptr;
    }
    if (!reply.contentType.empty()) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    }
    for (const auto& [name, value] : reply.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    return response;
}
} // namespace

// The library's callbacks, with the daemon as their closure.
struct HttpDaemonCallbacks {
    static MHD_Result acceptPolicy(void* self, const sockaddr* address, socklen_t) {
        auto& daemon = *static_cast<HttpDaemon*>(self);
        const std::optional<int> victim = daemon.book_.makeRoomFor(ipv4Of(address));
        if (victim) {
            // The library sees the end of the stream and closes the connection itself.
            ::shutdown(*victim, SHUT_RDWR);
            if (daemon.evictionLog_.allow(steadyMs())) {
                LOG_LINE << "-- web port full: closed an idle connection to let another in ("
                         << daemon.evictionLog_.suppressed() << " more in the previous 10 s)";
            }
        }
        return MHD_YES;
    }

    static void connectionEvent(void* self, MHD_Connection* connection, void**,
                                MHD_ConnectionNotificationCode code) {
        auto& daemon = *static_cast<HttpDaemon*>(self);
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            daemon.book_.closed(connection);
            return;
        }
        const MHD_ConnectionInfo* fd =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        const MHD_ConnectionInfo* peer =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (fd == nullptr) {
            return;
        }
        // Scrapers keep their connection open: without this an answer's last segment may wait
        // for the client's delayed acknowledgement, some 40 ms.
        const int on = 1;
        if (::setsockopt(fd->connect_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0 &&
            daemon.socketOptionLog_.allow(steadyMs())) {
            LOG_LINE << "-- web: cannot turn off delayed sending on a connection: "
                     << std::strerror(errno) << " (" << daemon.socketOptionLog_.suppressed()
                     << " more in the previous 10 s)";
        }
        daemon.book_.opened(connection, ipv4Of(peer != nullptr ? peer->client_addr : nullptr),
                            fd->connect_fd, steadyMs());
    }

    static void requestCompleted(void* self, MHD_Connection* connection, void**,
                                 MHD_RequestTerminationCode) {
        static_cast<HttpDaemon*>(self)->book_.requestEnded(connection, steadyMs());
    }

    static MHD_Result answer(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, size_t* uploadSize,
                             void** requestState) {
        auto& daemon = *static_cast<HttpDaemon*>(self);
        if (*requestState == &gAnswered) {
            *uploadSize = 0; // a body no route reads
            return MHD_YES;
        }
        // Answered in the first call, the library ends the connection after the answer: right
        // for a request with a body, which is then never read. Others are answered in the
        // second call and keep their connection.
        if (*requestState == nullptr) {
            daemon.book_.requestStarted(connection);
            if (!hasBody(connection)) {
                *requestState = &gHeadersRead;
                return MHD_YES;
            }
        }
        *requestState = &gAnswered;
        *uploadSize = 0;
        HttpRequest request;
        request.method = method;
        request.path = url;
        request.peer = peerAddress(connection);
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader, &request);
        HttpReply reply = daemon.handler_(request);
        MHD_Response* response = responseFor(reply);
        if (response == nullptr) {
            return MHD_NO; // the library closes the connection
        }
        const MHD_Result queued =
            MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
        MHD_destroy_response(response);
        return queued;
    }

    static void log(void* self, const char* format, va_list arguments) {
        char text[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        std::vsnprintf(text, sizeof(text), format, arguments);
#pragma GCC diagnostic pop
        RateLimiter& limiter = static_cast<HttpDaemon*>(self)->libraryLog_;
        if (limiter.allow(steadyMs())) {
            LOG_LINE << "-- web: " << escapeForLog(trim(text)) << " (" << limiter.suppressed()
                     << " more in the previous 10 s)";
        }
    }
};

void HttpDaemon::Stopper::operator()(MHD_Daemon* daemon) const {
    MHD_stop_daemon(daemon);
}

HttpDaemon::HttpDaemon(Handler handler) : handler_(std::move(handler)) {}

HttpDaemon::~HttpDaemon() = default;

bool HttpDaemon::start(TcpListener listener) {
    const unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    MHD_Daemon* daemon = MHD_start_daemon(
        flags, 0, &HttpDaemonCallbacks::acceptPolicy, this, &HttpDaemonCallbacks::answer, this,
        MHD_OPTION_EXTERNAL_LOGGER, &HttpDaemonCallbacks::log, this, MHD_OPTION_LISTEN_SOCKET,
        listener.fd(), MHD_OPTION_CONNECTION_LIMIT, kHardTotal, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        kHardPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutS,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION,
        &HttpDaemonCallbacks::connectionEvent, this, MHD_OPTION_NOTIFY_COMPLETED,
        &HttpDaemonCallbacks::requestCompleted, this, MHD_OPTION_END);
    if (daemon == nullptr) {
        LOG_LINE << "ERROR: the web server could not start its connection loop";
        return false; // `listener` still owns the socket and closes it
    }
    listener.release(); // the library closes it when it stops
    daemon_.reset(daemon);
    return true;
}

} // namespace vandra
