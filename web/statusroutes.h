#pragma once

#include <optional>

#include "web/httpmessage.h"

namespace vandra {

class StatusCollector;

// GET /metrics (Prometheus text) and GET /api/v1/status (JSON); other methods on these paths
// are answered 405. Nothing for other paths.
std::optional<HttpReply> answerStatusRoute(const HttpRequest& request,
                                           const StatusCollector& collector);

} // namespace vandra
