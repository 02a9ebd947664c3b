#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace vesmira {

// Lets one log line of a kind through per interval and counts the ones held back, so that a flood of refused
// connections costs a line a second, not a line per connection.
class LogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit LogThrottle(Clock::duration interval = std::chrono::seconds(1)) : m_interval(interval) {}

    // The number of events held back since the last line when this one may be logged; nullopt when it may not.
    std::optional<std::size_t> admit(Clock::time_point now = Clock::now()) {
        if (m_logged && now - m_last < m_interval) {
            ++m_held;
            return std::nullopt;
        }
        m_logged = true;
        m_last = now;
        const std::size_t held = m_held;
        m_held = 0;
        return held;
    }

private:
    Clock::duration m_interval;
    Clock::time_point m_last{};
    bool m_logged = false;
    std::size_t m_held = 0;
};

} // namespace vesmira
