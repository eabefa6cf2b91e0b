#include "web/statusroutes.h"

#include "web/metrics.h"
#include "web/statusapi.h"
#include "web/statuscollector.h"

namespace vandra {

namespace {
constexpr const char* kMetricsPath = "/metrics";
constexpr const char* kStatusPath = "/api/v1/status";

std::optional<platform::ProcessUsage> processUsage() {
    platform::ProcessUsage usage;
    return platform::readProcessUsage(usage) ? std::optional(usage) : std::nullopt;
}

HttpReply notAllowed() {
    HttpReply reply = HttpReply::text(405, "method not allowed\n", "text/plain");
    reply.headers.emplace_back("Allow", "GET, HEAD");
    return reply;
}
} // namespace

std::optional<HttpReply> answerStatusRoute(const HttpRequest& request,
                                           const StatusCollector& collector) {
    const bool metrics = request.path == kMetricsPath;
    if (!metrics && request.path != kStatusPath) {
        return std::nullopt;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        return notAllowed();
    }
    if (metrics) {
        return HttpReply::text(200, metricsText(collector.collect(), processUsage()),
                               kMetricsContentType);
    }
    return HttpReply::text(200, statusApiJson(collector.collect()), "application/json");
}

} // namespace vandra
