#pragma once

#include "Failures.h"
#include "LatencyHistogram.h"
#include "LoadOptions.h"
#include "Probe.h"
#include "Steps.h"

#include <asio.hpp>

#include <iosfwd>
#include <string>

namespace vesmira::load {

// One measured run against the server, on one thread: the scenario's body runs until it returns or the deadline
// passes, while the server process is sampled; then the figures and the verdict are printed.
class Scenario {
public:
    explicit Scenario(const LoadOptions& options);
    virtual ~Scenario() = default;
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    // True when every check passed.
    bool run();

protected:
    virtual asio::awaitable<void> body() = 0;
    virtual void report(std::ostream& out) = 0;

    void fail(const std::string& message) { m_failures.add(message); }
    // p50, p99 and the worst of `latency`, and a failure for each target it misses.
    void reportLatency(std::ostream& out, const std::string& what, const LatencyHistogram& latency);
    void checkPeakRss();
    // The verdict on a room's chat at the end: it finished, and each of `members` got every line (`shortOf` when
    // one did not).
    void checkChat(bool done, int complete, int members, const std::string& shortOf);

    asio::io_context m_io{1};
    const LoadOptions m_options;
    const asio::ip::tcp::endpoint m_server;
    ServerProbe m_probe;
    Failures m_failures;

private:
    asio::awaitable<void> sampleServer();

    bool m_over = false;
};

} // namespace vesmira::load
