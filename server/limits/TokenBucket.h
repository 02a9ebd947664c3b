#pragma once

#include <chrono>
#include <cstddef>

namespace vesmira {

// A rate with bursts: at most `burst` tokens, refilled at `rate` a second; each event takes one. A rate of 0 is
// no limit at all. Time comes in as arguments, so tests need no clock of their own.
class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    TokenBucket() = default;
    // Starts full.
    TokenBucket(double rate, double burst, Clock::time_point now);

    bool limited() const { return m_rate > 0; }
    // Whole tokens there now (SIZE_MAX without a limit).
    std::size_t available(Clock::time_point now);
    void take(std::size_t count);
    // When the next whole token is there; `now` when one is already.
    Clock::time_point nextToken(Clock::time_point now);

private:
    void refill(Clock::time_point now);

    double m_rate = 0;
    double m_burst = 0;
    double m_tokens = 0;
    Clock::time_point m_last{};
};

} // namespace vesmira
