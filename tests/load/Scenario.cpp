#include "Scenario.h"

#include <iostream>
#include <sstream>

namespace vesmira::load {

namespace {

constexpr auto kSampleInterval = std::chrono::milliseconds(100);

} // namespace

Scenario::Scenario(const LoadOptions& options)
    : m_options(options), m_server(asio::ip::make_address_v4("127.0.0.1"), options.port), m_probe(options.serverPid) {}

bool Scenario::run() {
    const Clock::time_point begin = Clock::now();
    asio::steady_timer deadline(m_io);
    deadline.expires_after(m_options.deadline);
    deadline.async_wait([this](const std::error_code& ec) {
        if (!ec) {
            fail("the run reached its deadline of " + std::to_string(m_options.deadline.count()) + " s");
            m_io.stop();
        }
    });
    m_probe.reset();
    asio::co_spawn(m_io, sampleServer(), asio::detached);
    asio::co_spawn(m_io, body(), [this, &deadline](std::exception_ptr error) {
        if (error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                fail(std::string("internal error: ") + e.what());
            }
        }
        m_over = true;
        deadline.cancel();
        m_io.stop();
    });
    m_io.run();

    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(1);
    report(out);
    out << "run time:             " << secondsOf(Clock::now() - begin) << " s\n";
    m_failures.report(out);
    std::cout << out.str();
    return m_failures.count() == 0;
}

asio::awaitable<void> Scenario::sampleServer() {
    asio::steady_timer timer(m_io);
    while (!m_over) {
        if (!m_probe.sample()) {
            fail("the server process is gone");
            m_io.stop();
            co_return;
        }
        timer.expires_after(kSampleInterval);
        co_await timer.async_wait(kNoThrow);
    }
}

void Scenario::reportLatency(std::ostream& out, const std::string& what, const LatencyHistogram& latency) {
    const double p99 = latency.percentileMs(0.99);
    out << what << latency.count() << " deliveries: p50 " << latency.percentileMs(0.5) << " ms, p99 " << p99
        << " ms, worst " << latency.maxMs() << " ms\n";
    if (m_options.maxP99Ms > 0 && p99 > m_options.maxP99Ms) {
        fail(what + "p99 above " + std::to_string(m_options.maxP99Ms) + " ms");
    }
    if (m_options.maxLatencyMs > 0 && latency.maxMs() > m_options.maxLatencyMs) {
        fail(what + "worst above " + std::to_string(m_options.maxLatencyMs) + " ms");
    }
}

void Scenario::checkPeakRss() {
    if (m_probe.enabled() && m_probe.hwmKiB() > m_options.maxRssMiB * 1024) {
        fail("the server's peak RSS exceeded " + std::to_string(m_options.maxRssMiB) + " MiB");
    }
}

void Scenario::checkChat(bool done, int complete, int members, const std::string& shortOf) {
    if (!done) {
        fail("the chat did not finish");
    } else if (complete != members) {
        fail(shortOf);
    }
}

} // namespace vesmira::load
