#include "server/core/Backpressure.h"

#include "server/core/Connection.h"

namespace vesmira {

Backpressure::Backpressure(const asio::any_io_executor& executor, const std::vector<Connection*>& members)
    : m_sweep(executor), m_members(members) {}

void Backpressure::behind(bool behind) {
    if (behind) {
        ++m_behind;
    } else if (m_behind > 0) {
        --m_behind;
    }
    update();
}

void Backpressure::wait(std::shared_ptr<void> alive, std::function<void()> resume) {
    m_waiting.emplace_back(std::move(alive), std::move(resume));
}

void Backpressure::stop() {
    m_stopped = true;
    m_sweep.cancel();
    m_waiting.clear();
}

void Backpressure::update() {
    const bool holding = !m_stopped && m_behind * 2 > m_members.size();
    if (holding == m_holding) {
        return;
    }
    m_holding = holding;
    if (holding) {
        armSweep();
        return;
    }
    m_sweep.cancel();
    // Each waiting sender reads again in its own handler, after the turn that let them go.
    for (auto& [alive, resume] : std::exchange(m_waiting, {})) {
        asio::post(m_sweep.get_executor(), [alive = std::move(alive), resume = std::move(resume)] { resume(); });
    }
}

void Backpressure::sweep() {
    const auto stalled = std::chrono::steady_clock::now() - kStall;
    // By index: closing a member changes the list only when the server forgets it, later.
    for (std::size_t i = 0; i < m_members.size() && m_holding; ++i) {
        Connection* member = m_members[i];
        if (!member->closed() && member->sendBehind() && member->sendProgressAt() < stalled) {
            member->dropStalled();
        }
    }
    if (m_holding) {
        armSweep();
    }
}

void Backpressure::armSweep() {
    m_sweep.expires_after(std::chrono::seconds(1));
    m_sweep.async_wait([this](const std::error_code& ec) {
        if (!ec && m_holding) {
            sweep();
        }
    });
}

} // namespace vesmira
