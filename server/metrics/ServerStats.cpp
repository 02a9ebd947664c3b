#include "server/metrics/ServerStats.h"

namespace vesmira {

void ServerStats::hashed(std::chrono::steady_clock::duration took) {
    const double seconds = std::chrono::duration<double>(took).count();
    for (std::size_t i = 0; i < kHashBuckets.size(); ++i) {
        if (seconds <= kHashBuckets[i]) {
            m_hashBuckets[i].fetch_add(1, std::memory_order_relaxed);
            break;
        }
    }
    m_hashTotal.fetch_add(1, std::memory_order_relaxed);
    m_hashNanoseconds.fetch_add(
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()),
        std::memory_order_relaxed);
}

void ServerStats::throttling(bool began, std::chrono::steady_clock::duration held) {
    if (began) {
        m_throttled.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m_throttled.fetch_sub(1, std::memory_order_relaxed);
    m_throttledNanoseconds.fetch_add(
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(held).count()),
        std::memory_order_relaxed);
}

void ServerStats::databaseAnswered(bool answered, std::chrono::steady_clock::time_point now) {
    m_databaseUp.store(answered, std::memory_order_relaxed);
    if (answered) {
        m_databaseAnsweredAt.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
}

bool ServerStats::databaseUp(std::chrono::steady_clock::time_point now) const {
    if (!m_databaseUp.load(std::memory_order_relaxed)) {
        return false;
    }
    const std::chrono::steady_clock::time_point answeredAt{
        std::chrono::steady_clock::duration(m_databaseAnsweredAt.load(std::memory_order_relaxed))};
    return now - answeredAt < kDatabaseFresh;
}

} // namespace vesmira
