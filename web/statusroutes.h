#pragma once

namespace httplib {
class Server;
}

namespace vandra {

class StatusCollector;

// GET /metrics (Prometheus text) and GET /api/v1/status (JSON); other methods on these paths
// are answered 405. `collector` outlives the server.
void addStatusRoutes(httplib::Server& server, const StatusCollector& collector);

} // namespace vandra
