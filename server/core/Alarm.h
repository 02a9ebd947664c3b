#pragma once

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <system_error>
#include <utility>

namespace vesmira {

// A timer that runs its handler only for the wait in force. Asio runs the handler of a wait that completed just
// before it was cancelled or set anew as a success all the same: this one ignores it.
class Alarm {
public:
    using Clock = std::chrono::steady_clock;

    explicit Alarm(const asio::any_io_executor& executor) : m_timer(executor) {}

    // Runs `handler` at `at`, unless cancelled or set again before; `alive` is kept until then.
    template <typename Handler> void set(Clock::time_point at, std::shared_ptr<void> alive, Handler handler) {
        m_armed = true;
        m_timer.expires_at(at);
        m_timer.async_wait([this, alive = std::move(alive), generation = ++m_generation,
                            handler = std::move(handler)](const std::error_code& ec) mutable {
            if (ec == asio::error::operation_aborted || generation != m_generation) {
                return;
            }
            m_armed = false;
            handler();
        });
    }
    void cancel() {
        m_timer.cancel();
        m_armed = false;
        ++m_generation;
    }
    bool armed() const { return m_armed; }

private:
    asio::steady_timer m_timer;
    unsigned m_generation = 0;
    bool m_armed = false;
};

} // namespace vesmira
