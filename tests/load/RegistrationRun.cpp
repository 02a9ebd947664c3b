#include "RegistrationRun.h"

#include "ChatRecord.h"

#include <algorithm>
#include <ostream>

namespace vesmira::load {

namespace {

constexpr auto kQuietBefore = std::chrono::seconds(2);
constexpr auto kQuietAfter = std::chrono::seconds(1);
constexpr int kFirstNewcomer = 100000;
// Newcomers come from many machines: 127.0.0.20 and up, so that the per-address limit does not apply.
constexpr int kFirstSource = 20;
constexpr int kSources = 200;

} // namespace

asio::awaitable<void> RegistrationRun::body() {
    if (!co_await m_room.join(m_options.chatters, 0, m_options.chatters)) {
        co_return;
    }
    m_room.chatInBackground(m_options.interval, m_options.deadline);
    co_await sleep(kQuietBefore);
    m_before = m_room.takeLatency();

    const double cpuStart = m_probe.cpu();
    const Clock::time_point start = Clock::now();
    asio::steady_timer allRegistered(m_io);
    allRegistered.expires_at(Clock::time_point::max());
    m_running = m_options.registrations;
    for (int index = 0; index < m_options.registrations; ++index) {
        asio::co_spawn(m_io, registerOne(index), [this, &allRegistered](std::exception_ptr) {
            if (--m_running == 0) {
                allRegistered.cancel();
            }
        });
    }
    co_await allRegistered.async_wait(kNoThrow);
    m_allSeconds = secondsOf(Clock::now() - start);
    m_cpuSeconds = m_probe.cpu() - cpuStart;
    m_during = m_room.takeLatency();

    co_await sleep(kQuietAfter);
    co_await m_room.endChat();
    m_chatDone = true;
    m_after = m_room.takeLatency();
    m_room.leave();
}

asio::awaitable<void> RegistrationRun::registerOne(int index) {
    const int id = kFirstNewcomer + index;
    const Clock::time_point start = Clock::now();
    auto socket = std::make_shared<Socket>(m_io);
    if (co_await greeted(socket, m_server, loopback(kFirstSource + index % kSources)) &&
        co_await signIn(socket, true, userId(id), password(id))) {
        m_durations.push_back(secondsOf(Clock::now() - start));
    } else {
        fail(userId(id) + " could not register");
    }
    closeSocket(socket);
}

void RegistrationRun::report(std::ostream& out) {
    std::sort(m_durations.begin(), m_durations.end());
    out << "chat:                 " << m_options.chatters << " users, one line each per " << m_options.interval.count()
        << " ms; " << m_room.deliveries() << " deliveries checked, in order, byte for "
        << "byte\n";
    out << "registrations:        " << m_durations.size() << " of " << m_options.registrations
        << " at once, all done in " << m_allSeconds << " s";
    if (!m_durations.empty()) {
        out << "; each " << m_durations.front() << " to " << m_durations.back() << " s (median "
            << m_durations[m_durations.size() / 2] << " s)";
    }
    out << "\n";
    if (m_probe.enabled()) {
        out.precision(2);
        out << "server CPU:           " << m_cpuSeconds << " s during the registrations ("
            << m_cpuSeconds * 1000 / m_options.registrations << " ms per registration)\n";
        out.precision(1);
    }
    reportLatency(out, "latency before:       ", m_before);
    reportLatency(out, "latency during:       ", m_during);
    reportLatency(out, "latency after:        ", m_after);
    checkChat(m_chatDone, m_room.complete(), m_options.chatters, "a chatting user was short of lines");
    checkPeakRss();
}

} // namespace vesmira::load
