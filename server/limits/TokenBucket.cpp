#include "server/limits/TokenBucket.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vesmira {

TokenBucket::TokenBucket(double rate, double burst, Clock::time_point now)
    : m_rate(rate), m_burst(std::max(burst, 1.0)), m_tokens(m_burst), m_last(now) {}

void TokenBucket::refill(Clock::time_point now) {
    if (now <= m_last) {
        return;
    }
    const double seconds = std::chrono::duration<double>(now - m_last).count();
    m_tokens = std::min(m_burst, m_tokens + seconds * m_rate);
    m_last = now;
}

std::size_t TokenBucket::available(Clock::time_point now) {
    if (!limited()) {
        return SIZE_MAX;
    }
    refill(now);
    return static_cast<std::size_t>(std::floor(m_tokens));
}

void TokenBucket::take(std::size_t count) {
    if (limited()) {
        m_tokens -= static_cast<double>(count);
    }
}

TokenBucket::Clock::time_point TokenBucket::nextToken(Clock::time_point now) {
    if (!limited()) {
        return now;
    }
    refill(now);
    if (m_tokens >= 1) {
        return now;
    }
    const auto wait = std::chrono::duration<double>((1 - m_tokens) / m_rate);
    // Rounded up: woken a little early, the bucket would still hold less than one token.
    return now + std::chrono::ceil<Clock::duration>(wait);
}

} // namespace vesmira
