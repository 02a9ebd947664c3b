#pragma once

#include "Room.h"
#include "Scenario.h"

#include <asio/ssl.hpp>

namespace vesmira::load {

// A big room and a few senders as fast as the server relays: each sender keeps a window of records in flight,
// sending the next as soon as its own copy comes back. Or, with a rate (overload), senders paced at that rate
// whatever the server takes. Gives deliveries per second, the server's CPU time per
// delivery, latency and peak RSS.
class FanoutRun final : public Scenario {
public:
    explicit FanoutRun(const LoadOptions& options);

private:
    asio::awaitable<void> body() override;
    void report(std::ostream& out) override;
    // Over TLS: connections that only shake hands and read the greeting, `concurrency` at a time.
    asio::awaitable<void> handshakes(int count, int concurrency);
    asio::awaitable<void> handshakeWorker(int* next, int end);

    asio::ssl::context m_tls{asio::ssl::context::tls_client};
    Room m_room;
    double m_handshakeSeconds = 0;
    double m_handshakeCpuSeconds = 0;
    int m_handshakesDone = 0;
    double m_signInSeconds = 0;
    double m_chatSeconds = 0;
    double m_chatCpuSeconds = 0;
    std::vector<double> m_watchedCpuSeconds; // of options.watched, in the chat phase
    long m_rssSignedInKiB = 0;
    bool m_chatDone = false;
    LatencyHistogram m_latency;
};

} // namespace vesmira::load
