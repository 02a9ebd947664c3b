#include "FanoutRun.h"

#include <ostream>

namespace vesmira::load {

asio::awaitable<void> FanoutRun::body() {
    const Clock::time_point signInStart = Clock::now();
    if (!co_await m_room.join(m_options.clients, 0, m_options.signInConcurrency)) {
        co_return;
    }
    m_signInSeconds = secondsOf(Clock::now() - signInStart);
    m_probe.sample();
    m_rssSignedInKiB = m_probe.rssKiB();

    const double cpuStart = m_probe.cpu();
    for (const auto& [name, pid] : m_options.watched) {
        m_watchedCpuSeconds.push_back(-cpuSeconds(pid));
    }
    const Clock::time_point chatStart = Clock::now();
    if (m_options.rate > 0) {
        // Paced, whatever the server takes: each sender offers its share of the rate.
        const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            static_cast<double>(m_options.senders) / static_cast<double>(m_options.rate)));
        co_await m_room.chat({m_options.senders, m_options.records, 0, interval});
    } else {
        co_await m_room.chat({m_options.senders, m_options.records, m_options.window, {}});
    }
    m_chatSeconds = secondsOf(Clock::now() - chatStart);
    m_chatCpuSeconds = m_probe.cpu() - cpuStart;
    for (std::size_t i = 0; i < m_options.watched.size(); ++i) {
        m_watchedCpuSeconds[i] += cpuSeconds(m_options.watched[i].second);
    }
    m_chatDone = true;
    m_latency = m_room.takeLatency();
    m_room.leave();
}

void FanoutRun::report(std::ostream& out) {
    const std::size_t deliveries = m_room.deliveries();
    out << "room:                 " << m_options.clients << " members signed in in " << m_signInSeconds << " s; "
        << m_options.senders << " senders, " << m_options.records << " records each, ";
    if (m_options.rate > 0) {
        out << m_options.rate << " records/s offered\n";
    } else {
        out << m_options.window << " in flight per sender\n";
    }
    out << "deliveries checked:   " << deliveries << " in order, byte for byte; " << m_room.complete() << " of "
        << m_options.clients << " members got every record\n";
    if (m_chatDone) {
        out << "chat phase:           " << m_chatSeconds << " s, " << static_cast<double>(deliveries) / m_chatSeconds
            << " deliveries/s\n";
        if (m_probe.enabled()) {
            out.precision(2);
            out << "server CPU:           " << m_chatCpuSeconds << " s in the chat phase, "
                << m_chatCpuSeconds * 1e6 / static_cast<double>(deliveries) << " µs per delivery\n";
            out.precision(1);
        }
        out.precision(2);
        for (std::size_t i = 0; i < m_watchedCpuSeconds.size(); ++i) {
            out << "CPU of " << m_options.watched[i].first << ": " << m_watchedCpuSeconds[i] << " s in the chat phase, "
                << m_watchedCpuSeconds[i] * 1e6 / static_cast<double>(deliveries) << " µs per delivery\n";
        }
        out.precision(1);
        reportLatency(out, "latency:              ", m_latency);
    } else {
        out << "chat phase:           did not finish\n";
    }
    if (m_probe.enabled()) {
        out << "server RSS:           " << m_rssSignedInKiB / 1024.0 << " MiB with everyone signed in, peak (VmHWM) "
            << m_probe.hwmKiB() / 1024.0 << " MiB\n";
    }
    if (m_chatDone && m_room.complete() != m_options.clients) {
        fail(std::to_string(m_options.clients - m_room.complete()) + " members were short of records");
    }
    checkPeakRss();
}

} // namespace vesmira::load
