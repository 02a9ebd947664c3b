#pragma once

#include "server/core/Alarm.h"
#include "server/limits/TokenBucket.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <utility>

namespace vesmira {

class ServerStats;

// The flood control of one signed-in connection: a token bucket of records (`rate` a second, `burst` at once).
// Once the allowance is spent the connection reads nothing until a token is back: what the sender wrote meanwhile
// waits in TCP's buffers, in order, and TCP pushes back on the sender. Nothing is dropped; the lines reach the room
// at the allowed rate. Relay thread only.
class FloodControl {
public:
    using Clock = std::chrono::steady_clock;

    FloodControl(const asio::any_io_executor& executor, ServerStats& stats) : m_alarm(executor), m_stats(stats) {}

    // At sign-in; a rate of 0 is no limit.
    void start(double rate, double burst) { m_bucket = TokenBucket(rate, burst, Clock::now()); }
    // Whole records that may be read now (SIZE_MAX without a limit).
    std::size_t allowance() { return m_bucket.available(Clock::now()); }
    void spent(std::size_t records) { m_bucket.take(records); }
    // With no allowance left: runs `resume` once a token is back, `alive` kept until then. The wait counts as
    // throttled time.
    template <typename Resume> void waitForToken(std::shared_ptr<void> alive, Resume resume) {
        const Clock::time_point now = Clock::now();
        began(now);
        m_alarm.set(m_bucket.nextToken(now), std::move(alive), [this, resume = std::move(resume)]() mutable {
            ended(Clock::now());
            resume();
        });
    }
    // The connection closes.
    void stop();
    // How long this connection has been held back so far.
    Clock::duration throttled() const { return m_throttled; }

private:
    void began(Clock::time_point now);
    void ended(Clock::time_point now);

    TokenBucket m_bucket;
    Alarm m_alarm;
    ServerStats& m_stats;
    Clock::time_point m_since{};
    Clock::duration m_throttled{};
    bool m_waiting = false;
};

} // namespace vesmira
