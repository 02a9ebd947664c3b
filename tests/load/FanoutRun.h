#pragma once

#include "Room.h"
#include "Scenario.h"

namespace vesmira::load {

// A big room and a few senders as fast as the server relays: each sender keeps a window of records in flight,
// sending the next as soon as its own copy comes back. Or, with a rate (overload), senders paced at that rate
// whatever the server takes. Gives deliveries per second, the server's CPU time per
// delivery, latency and peak RSS.
class FanoutRun final : public Scenario {
public:
    explicit FanoutRun(const LoadOptions& options) : Scenario(options), m_room(m_io, m_server, m_failures) {}

private:
    asio::awaitable<void> body() override;
    void report(std::ostream& out) override;

    Room m_room;
    double m_signInSeconds = 0;
    double m_chatSeconds = 0;
    double m_chatCpuSeconds = 0;
    std::vector<double> m_watchedCpuSeconds; // of options.watched, in the chat phase
    long m_rssSignedInKiB = 0;
    bool m_chatDone = false;
    LatencyHistogram m_latency;
};

} // namespace vesmira::load
