#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

namespace vesmira {

class LimitCounters;
class ServerStats;

// Serves the server's counters over HTTP for Prometheus (prometheus-cpp's pull exposer): GET /metrics gives the
// text format, GET /healthz answers 200 "ok" while the server listens and its user database answers, 503
// otherwise (for a load balancer's health check). Runs on threads of its own; reading the counters never
// touches the relay thread. One per process.
class MetricsExporter {
public:
    // `address` is HOST:PORT (an IPv6 host in brackets); port 0 picks a free one. nullptr with a message in
    // `error` when it cannot listen.
    static std::unique_ptr<MetricsExporter> start(const std::string& address, const ServerStats& stats,
                                                  const LimitCounters& limits, std::string& error);
    ~MetricsExporter();

    MetricsExporter(const MetricsExporter&) = delete;
    MetricsExporter& operator=(const MetricsExporter&) = delete;

    std::uint16_t port() const { return m_port; }

    // The /metrics page as it is now.
    static std::string text(const ServerStats& stats, const LimitCounters& limits);

private:
    class Collector;
    MetricsExporter() = default;

    std::shared_ptr<Collector> m_collector;
    std::unique_ptr<prometheus::Exposer> m_exposer;
    std::uint16_t m_port = 0;
};

} // namespace vesmira
