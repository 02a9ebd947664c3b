#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesmira::load {

// Delivery latencies in buckets 2% wide from 1 µs up, so that a run of a hundred million deliveries still gives
// percentiles to within 2% in a few kilobytes.
class LatencyHistogram {
public:
    LatencyHistogram() : m_counts(kBuckets, 0) {}

    void add(std::chrono::steady_clock::duration latency) {
        const double us = std::max(1.0, std::chrono::duration<double, std::micro>(latency).count());
        const auto bucket = static_cast<std::size_t>(std::log(us) / kLogStep);
        ++m_counts[std::min(bucket, kBuckets - 1)];
        ++m_total;
        m_maxUs = std::max(m_maxUs, us);
    }

    std::uint64_t count() const { return m_total; }
    double maxMs() const { return m_maxUs / 1000.0; }
    // The latency below which `fraction` of the deliveries were, in milliseconds (upper edge of its bucket).
    double percentileMs(double fraction) const {
        if (m_total == 0) {
            return 0;
        }
        const auto wanted = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(m_total)));
        std::uint64_t seen = 0;
        for (std::size_t bucket = 0; bucket < kBuckets; ++bucket) {
            seen += m_counts[bucket];
            if (seen >= wanted) {
                return std::min(m_maxUs, std::exp(static_cast<double>(bucket + 1) * kLogStep)) / 1000.0;
            }
        }
        return maxMs();
    }

private:
    static constexpr std::size_t kBuckets = 1200; // 1.02^1200 µs is far beyond any run
    static inline const double kLogStep = std::log(1.02);

    std::vector<std::uint64_t> m_counts;
    std::uint64_t m_total = 0;
    double m_maxUs = 0;
};

} // namespace vesmira::load
