#include "FanoutRun.h"

#include <ostream>

namespace vesmira::load {

FanoutRun::FanoutRun(const LoadOptions& options)
    : Scenario(options), m_room(m_io, m_server, m_failures, options.tls ? &m_tls : nullptr) {
    m_tls.set_verify_mode(asio::ssl::verify_none);
}

asio::awaitable<void> FanoutRun::handshakes(int count, int concurrency) {
    int next = 0;
    int running = std::min(count, concurrency);
    asio::steady_timer done(m_io, Clock::time_point::max());
    for (int worker = 0; worker < std::min(count, concurrency); ++worker) {
        asio::co_spawn(m_io, handshakeWorker(&next, count), [&](std::exception_ptr) {
            if (--running == 0) {
                done.cancel();
            }
        });
    }
    if (running > 0) {
        co_await done.async_wait(kNoThrow);
    }
}

asio::awaitable<void> FanoutRun::handshakeWorker(int* next, int end) {
    while (*next < end) {
        ++*next;
        const auto socket = std::make_shared<Socket>(m_io);
        TlsStream tls(*socket, m_tls);
        if (co_await greetedOverTls(tls, socket, m_server)) {
            ++m_handshakesDone;
        } else {
            fail("a handshake failed");
        }
        closeSocket(socket);
    }
}

asio::awaitable<void> FanoutRun::body() {
    if (m_options.tls && m_options.handshakes > 0) {
        const double cpuStart = m_probe.cpu();
        const Clock::time_point start = Clock::now();
        co_await handshakes(m_options.handshakes, m_options.signInConcurrency);
        m_handshakeSeconds = secondsOf(Clock::now() - start);
        m_handshakeCpuSeconds = m_probe.cpu() - cpuStart;
    }
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
    if (m_options.tls) {
        out << "TLS handshakes alone:  " << m_handshakesDone << " of " << m_options.handshakes << " in "
            << m_handshakeSeconds << " s, " << m_handshakesDone / std::max(m_handshakeSeconds, 1e-9) << " per s";
        if (m_probe.enabled()) {
            out.precision(3);
            out << ", server CPU " << m_handshakeCpuSeconds * 1e3 / std::max(m_handshakesDone, 1) << " ms each";
            out.precision(1);
        }
        out << "\n";
    }
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
