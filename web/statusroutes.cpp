#include "web/statusroutes.h"

#include <optional>

#include <httplib.h>

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

void refuseOtherMethods(httplib::Server& server, const char* path) {
    const auto notAllowed = [](const httplib::Request&, httplib::Response& response) {
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        response.set_content("method not allowed\n", "text/plain");
    };
    server.Post(path, notAllowed);
    server.Put(path, notAllowed);
    server.Patch(path, notAllowed);
    server.Delete(path, notAllowed);
    server.Options(path, notAllowed);
}
} // namespace

void addStatusRoutes(httplib::Server& server, const StatusCollector& collector) {
    server.Get(kMetricsPath, [&collector](const httplib::Request&, httplib::Response& response) {
        response.set_content(metricsText(collector.collect(), processUsage()), kMetricsContentType);
    });
    server.Get(kStatusPath, [&collector](const httplib::Request&, httplib::Response& response) {
        response.set_content(statusApiJson(collector.collect()), "application/json");
    });
    refuseOtherMethods(server, kMetricsPath);
    refuseOtherMethods(server, kStatusPath);
}

} // namespace vandra
