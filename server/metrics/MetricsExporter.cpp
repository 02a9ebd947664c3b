#include "server/metrics/MetricsExporter.h"

#include "server/limits/LimitCounters.h"
#include "server/metrics/ServerStats.h"

#include <algorithm>
#include <limits>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>
#include <string_view>
#include <vector>

namespace vesmira {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

std::string labelValue(std::string_view name) {
    std::string value(name);
    for (char& c : value) {
        if (c == '-') {
            c = '_';
        }
    }
    return value;
}

MetricFamily family(std::string name, std::string help, MetricType type) {
    MetricFamily result;
    result.name = std::move(name);
    result.help = std::move(help);
    result.type = type;
    return result;
}

ClientMetric sample(double value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric metric;
    metric.label = std::move(labels);
    metric.counter.value = value;
    metric.gauge.value = value;
    return metric;
}

// A family of one sample without labels.
MetricFamily single(std::string name, std::string help, MetricType type, double value) {
    MetricFamily result = family(std::move(name), std::move(help), type);
    result.metric.push_back(sample(value));
    return result;
}

// Refused as they were accepted; every other limit closes a connection the server had taken.
bool refusedAtAccept(Limit limit) {
    return limit == Limit::Connections || limit == Limit::PerAddress || limit == Limit::ProxyHeader;
}

std::vector<MetricFamily> collect(const ServerStats& stats, const LimitCounters& limits) {
    std::vector<MetricFamily> families;

    auto connections = family("vesmira_connections", "Connections held, by state.", MetricType::Gauge);
    connections.metric.push_back(sample(static_cast<double>(stats.pending()), {{"state", "pending"}}));
    connections.metric.push_back(sample(static_cast<double>(stats.signedIn()), {{"state", "signed_in"}}));
    families.push_back(std::move(connections));

    families.push_back(single("vesmira_records_relayed_total", "Chat records (and leave notices) relayed to the room.",
                              MetricType::Counter, static_cast<double>(stats.records())));
    families.push_back(single("vesmira_deliveries_total", "Records queued for a signed-in connection.",
                              MetricType::Counter, static_cast<double>(stats.deliveries())));

    auto refused = family("vesmira_connections_refused_total", "Connections refused as they arrived, by limit.",
                          MetricType::Counter);
    auto dropped =
        family("vesmira_connections_dropped_total", "Connections the server closed, by reason.", MetricType::Counter);
    for (std::size_t i = 0; i < LimitCounters::kCount; ++i) {
        const auto limit = static_cast<Limit>(i);
        const double value = static_cast<double>(limits.value(limit));
        const std::string name = labelValue(LimitCounters::name(limit));
        if (refusedAtAccept(limit)) {
            refused.metric.push_back(sample(value, {{"limit", name}}));
        } else {
            dropped.metric.push_back(sample(value, {{"reason", name}}));
        }
    }
    dropped.metric.push_back(
        sample(static_cast<double>(stats.accountClosures()), {{"reason", "account_locked_or_removed"}}));
    families.push_back(std::move(refused));
    families.push_back(std::move(dropped));

    auto refusedLines =
        family("vesmira_lines_refused_total", "Lines and leave notices of signed-in users not relayed, by reason.",
               MetricType::Counter);
    for (const auto reason : {ServerStats::LineRefusal::OtherName, ServerStats::LineRefusal::NoName}) {
        refusedLines.metric.push_back(sample(static_cast<double>(stats.linesRefused(reason)),
                                             {{"reason", std::string(ServerStats::lineRefusalName(reason))}}));
    }
    families.push_back(std::move(refusedLines));
    families.push_back(single("vesmira_relay_gaps_total",
                              "Times this server found lines trimmed from the shared room's stream before it read "
                              "them (its users were closed).",
                              MetricType::Counter, static_cast<double>(stats.relayGaps())));
    families.push_back(single("vesmira_connections_throttled",
                              "Signed-in connections whose reading flood control holds back now.", MetricType::Gauge,
                              static_cast<double>(stats.throttled())));
    families.push_back(single("vesmira_throttled_seconds_total",
                              "Time connections spent held back by flood control, summed over connections.",
                              MetricType::Counter, stats.throttledSeconds()));

    auto steps =
        family("vesmira_sign_in_steps_total", "Sign-in steps answered, by step and result.", MetricType::Counter);
    for (std::size_t s = 0; s < ServerStats::kSteps; ++s) {
        for (std::size_t r = 0; r < ServerStats::kResults; ++r) {
            const auto step = static_cast<ServerStats::Step>(s);
            const auto result = static_cast<ServerStats::Result>(r);
            steps.metric.push_back(sample(static_cast<double>(stats.steps(step, result)),
                                          {{"result", std::string(ServerStats::resultName(result))},
                                           {"step", std::string(ServerStats::stepName(step))}}));
        }
    }
    families.push_back(std::move(steps));

    auto tls =
        family("vesmira_tls_handshakes_total", "TLS handshakes on the TLS port, by result.", MetricType::Counter);
    tls.metric.push_back(sample(static_cast<double>(stats.tlsHandshakes(true)), {{"result", "completed"}}));
    tls.metric.push_back(sample(static_cast<double>(stats.tlsHandshakes(false)), {{"result", "failed"}}));
    families.push_back(std::move(tls));

    families.push_back(single("vesmira_authentication_failures_total",
                              "Unknown IDs and wrong passwords at sign-in (each also logged for fail2ban).",
                              MetricType::Counter, static_cast<double>(stats.authenticationFailures())));
    families.push_back(single("vesmira_hash_queue_length", "Sign-in steps waiting for a worker (hashing, database).",
                              MetricType::Gauge, static_cast<double>(stats.hashQueue())));

    auto hash = family("vesmira_hash_duration_seconds", "Time a worker took to hash or verify a password.",
                       MetricType::Histogram);
    ClientMetric histogram;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < ServerStats::kHashBuckets.size(); ++i) {
        cumulative += stats.hashCount(i);
        histogram.histogram.bucket.push_back({cumulative, ServerStats::kHashBuckets[i]});
    }
    const std::uint64_t total = std::max(stats.hashTotal(), cumulative);
    histogram.histogram.bucket.push_back({total, std::numeric_limits<double>::infinity()});
    histogram.histogram.sample_count = total;
    histogram.histogram.sample_sum = stats.hashSeconds();
    hash.metric.push_back(std::move(histogram));
    families.push_back(std::move(hash));

    families.push_back(single("vesmira_database_up", "1 while the user database answers the server, else 0.",
                              MetricType::Gauge, stats.databaseUp(std::chrono::steady_clock::now()) ? 1 : 0));
    return families;
}

} // namespace

std::unique_ptr<MetricsExporter> MetricsExporter::start(const std::string& host, std::uint16_t port,
                                                        const ServerStats& stats, const LimitCounters& limits,
                                                        std::string& error) {
    std::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(host, ec);
    if (ec) {
        error = "'" + host + "' is not an IP address";
        return nullptr;
    }
    std::unique_ptr<MetricsExporter> exporter(new MetricsExporter());
    exporter->m_endpoint = HttpEndpoint::start(
        {ip, port},
        [&stats, &limits](std::string_view path) -> HttpEndpoint::Reply {
            if (path == "/metrics") {
                return {200, "text/plain; version=0.0.4; charset=utf-8", text(stats, limits)};
            }
            if (path == "/healthz") {
                const bool healthy = stats.healthy(std::chrono::steady_clock::now());
                return {healthy ? 200 : 503, "text/plain; charset=utf-8", healthy ? "ok\n" : "unavailable\n"};
            }
            return {404, "text/plain; charset=utf-8", "not found: try /metrics or /healthz\n"};
        },
        error);
    if (!exporter->m_endpoint) {
        return nullptr;
    }
    return exporter;
}

MetricsExporter::~MetricsExporter() = default;

std::uint16_t MetricsExporter::port() const {
    return m_endpoint->port();
}

std::string MetricsExporter::text(const ServerStats& stats, const LimitCounters& limits) {
    return prometheus::TextSerializer().Serialize(collect(stats, limits));
}

} // namespace vesmira
