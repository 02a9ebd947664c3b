#pragma once

#include "Room.h"
#include "Scenario.h"

#include <vector>

namespace vesmira::load {

// Users chat, one line per interval each, while many new users register at once at the server's own hash cost:
// the chat's latency before and during the registrations, and how long the registrations take.
class RegistrationRun final : public Scenario {
public:
    explicit RegistrationRun(const LoadOptions& options) : Scenario(options), m_room(m_io, m_server, m_failures) {}

private:
    asio::awaitable<void> body() override;
    void report(std::ostream& out) override;
    asio::awaitable<void> registerOne(int index);

    Room m_room;
    std::vector<double> m_durations; // seconds, per registration that succeeded
    int m_running = 0;
    double m_allSeconds = 0;
    double m_cpuSeconds = 0;
    bool m_chatDone = false;
    LatencyHistogram m_before;
    LatencyHistogram m_during;
    LatencyHistogram m_after;
};

} // namespace vesmira::load
