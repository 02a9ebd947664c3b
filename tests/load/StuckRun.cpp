#include "StuckRun.h"

#include "ChatRecord.h"

#include <ostream>

namespace vesmira::load {

asio::awaitable<void> StuckRun::body() {
    if (!co_await m_room.join(kReaders + m_options.stuck, 0, m_options.signInConcurrency, m_options.stuck)) {
        co_return;
    }
    co_await sleep(std::chrono::milliseconds(500));
    m_probe.reset();
    m_rssBaseKiB = m_probe.rssKiB();
    m_tcpBaseKiB = m_probe.tcpKiB();
    co_await m_room.chat({1, m_options.records, 0, m_options.interval});
    m_chatDone = true;
    m_probe.sample();
    // Only now read what reached the stuck ones, and whether the server dropped them.
    int running = 0;
    asio::steady_timer watched(m_io);
    watched.expires_at(Clock::time_point::max());
    for (const SocketPtr& socket : m_room.stuckSockets()) {
        ++running;
        asio::co_spawn(m_io, watch(socket), [&running, &watched](std::exception_ptr) {
            if (--running == 0) {
                watched.cancel();
            }
        });
    }
    if (running > 0) {
        co_await watched.async_wait(kNoThrow);
    }
    m_room.leave();
}

asio::awaitable<void> StuckRun::watch(SocketPtr socket) {
    socket->non_blocking(false);
    std::size_t bytes = 0;
    if (co_await waitForClose(socket, std::chrono::seconds(10), &bytes) == Close::ByServer) {
        ++m_dropped;
    }
    m_bytesMax = std::max(m_bytesMax, bytes);
}

void StuckRun::report(std::ostream& out) {
    const std::size_t owed = m_room.sent() * kRecordSize;
    out << "chat:                 1 sender, " << m_room.sent() << " records (" << owed / 1024 << " KiB) at one per "
        << m_options.interval.count() << " ms; " << m_room.deliveries() << " deliveries checked by " << kReaders
        << " readers\n";
    out << "stuck members:        " << m_options.stuck << " signed in and never read; " << m_dropped
        << " dropped by the server; at most " << m_bytesMax / 1024 << " KiB reached one\n";
    if (m_probe.enabled()) {
        const long rssGrowth = m_probe.peakRssKiB() - m_rssBaseKiB;
        const long tcpGrowth = m_probe.peakTcpKiB() - m_tcpBaseKiB;
        const long totalGrowth = m_probe.peakTotalKiB() - m_rssBaseKiB - m_tcpBaseKiB;
        out << "server RSS:           " << m_rssBaseKiB / 1024.0 << " MiB before the chat, peak "
            << m_probe.peakRssKiB() / 1024.0 << " MiB (+" << rssGrowth / 1024.0 << ")\n";
        out << "TCP buffers (host):   " << m_tcpBaseKiB / 1024.0 << " MiB before the chat, peak "
            << m_probe.peakTcpKiB() / 1024.0 << " MiB (+" << tcpGrowth / 1024.0 << ")\n";
        out << "together:             peak +" << totalGrowth / 1024.0 << " MiB, "
            << static_cast<double>(totalGrowth) / m_options.stuck << " KiB per stuck member";
        if (m_options.boundKiB > 0) {
            out << " (documented bound " << m_options.boundKiB << " KiB)";
            if (totalGrowth > m_options.boundKiB * m_options.stuck) {
                fail("memory grew past the documented bound per stuck member");
            }
        }
        out << "\n";
    }
    checkChat(m_chatDone, m_room.complete(), kReaders, "a reader was short of records");
    if (m_chatDone && m_dropped != m_options.stuck) {
        fail(std::to_string(m_options.stuck - m_dropped) + " stuck members were not dropped");
    }
    checkPeakRss();
}

} // namespace vesmira::load
