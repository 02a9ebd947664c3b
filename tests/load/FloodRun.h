#pragma once

#include "Room.h"
#include "Scenario.h"

#include <vector>

namespace load {

// Silent connections by the thousand, from one address and spread over many, each opened again as soon as the
// server closes it; meanwhile new users sign in one after another and two users chat. Honest users must still
// get in at once and chat without delay.
class FloodRun final : public Scenario {
public:
    explicit FloodRun(const LoadOptions& options) : Scenario(options), m_room(m_io, m_server, m_failures) {}

private:
    asio::awaitable<void> body() override;
    void report(std::ostream& out) override;
    // Keeps one silent connection open from `source` for as long as the flood lasts.
    asio::awaitable<void> silent(asio::ip::address source);
    asio::awaitable<void> newcomer(int index);

    Room m_room;
    bool m_flooding = true;
    int m_open = 0;
    int m_peakOpen = 0;
    std::size_t m_attempts = 0;
    std::size_t m_refused = 0;        // closed before the greeting
    std::size_t m_closedByServer = 0; // greeted, then closed
    double m_heldMin = 1e9;
    double m_heldMax = 0;
    std::vector<double> m_signIns; // milliseconds, per newcomer that got in
    int m_newcomers = 0;
    bool m_chatDone = false;
    LatencyHistogram m_latency;
};

} // namespace load
