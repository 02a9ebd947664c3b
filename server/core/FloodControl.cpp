#include "server/core/FloodControl.h"

#include "server/metrics/ServerStats.h"

namespace vesmira {

void FloodControl::began(Clock::time_point now) {
    if (!m_waiting) {
        m_waiting = true;
        m_since = now;
        m_stats.throttling(true);
    }
}

void FloodControl::ended(Clock::time_point now) {
    if (m_waiting) {
        m_waiting = false;
        m_throttled += now - m_since;
        m_stats.throttling(false, now - m_since);
    }
}

void FloodControl::stop() {
    m_alarm.cancel();
    ended(Clock::now());
}

} // namespace vesmira
