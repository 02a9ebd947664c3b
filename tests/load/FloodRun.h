#pragma once

#include "Room.h"
#include "Scenario.h"

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace vesmira::load {

// Silent connections by the thousand, from one address and spread over many, each opened again as soon as the
// server closes it; meanwhile new users sign in one after another and two users chat. Honest users must still
// get in at once and chat without delay.
class FloodRun final : public Scenario {
public:
    explicit FloodRun(const LoadOptions& options) : Scenario(options), m_room(m_io, m_server, m_failures) {}
    ~FloodRun() override;

private:
    asio::awaitable<void> body() override;
    void report(std::ostream& out) override;
    // Keeps one silent connection open from `source` for as long as the flood lasts.
    asio::awaitable<void> silent(asio::ip::address source);
    asio::awaitable<void> newcomer(int index);
    void flood();

    Room m_room;
    // The flood runs on a thread of its own, so that opening thousands of connections a second does not delay
    // the measured users on this one. Its figures are read once it has ended.
    asio::io_context m_floodIo{1};
    std::thread m_floodThread;
    std::atomic<bool> m_flooding{true};
    std::mt19937 m_random{42};
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

} // namespace vesmira::load
