#pragma once

#include "server/metrics/HttpEndpoint.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vesmira {

class LimitCounters;
class ServerStats;

// Serves the server's counters over HTTP for Prometheus: GET /metrics gives the text format, GET /healthz answers
// 200 "ok" while the server listens and its user database answers, 503 otherwise (for a load balancer's health
// check). Runs on a thread of its own (HttpEndpoint), which no idle or slow connection can hold up; reading the
// counters never touches the relay thread.
class MetricsExporter {
public:
    // Listens on `host`, an IP address, and `port` (0 picks a free one). nullptr with the reason in `error` when it
    // cannot listen.
    static std::unique_ptr<MetricsExporter> start(const std::string& host, std::uint16_t port, const ServerStats& stats,
                                                  const LimitCounters& limits, std::string& error);
    ~MetricsExporter();

    MetricsExporter(const MetricsExporter&) = delete;
    MetricsExporter& operator=(const MetricsExporter&) = delete;

    std::uint16_t port() const;

    // The /metrics page as it is now.
    static std::string text(const ServerStats& stats, const LimitCounters& limits);

private:
    MetricsExporter() = default;

    std::unique_ptr<HttpEndpoint> m_endpoint;
};

} // namespace vesmira
