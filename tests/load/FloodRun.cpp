#include "FloodRun.h"

#include "ChatRecord.h"

#include <algorithm>
#include <ostream>

namespace vesmira::load {

namespace {

constexpr int kFirstNewcomer = 200000;
constexpr auto kRampUp = std::chrono::seconds(3);

} // namespace

FloodRun::~FloodRun() {
    // When the run ended at its deadline.
    m_flooding = false;
    m_floodIo.stop();
    if (m_floodThread.joinable()) {
        m_floodThread.join();
    }
}

asio::awaitable<void> FloodRun::body() {
    if (!co_await m_room.join(m_options.chatters, 0, m_options.chatters)) {
        co_return;
    }
    m_room.chatInBackground(m_options.interval, m_options.deadline);

    m_floodThread = std::thread([this] { flood(); });
    co_await sleep(kRampUp);
    m_room.takeLatency(); // the flood's first seconds count below, the chat's start does not
    const Clock::time_point end = Clock::now() + m_options.floodTime;
    while (Clock::now() < end) {
        asio::co_spawn(m_io, newcomer(m_newcomers++), asio::detached);
        co_await sleep(m_options.newcomerInterval);
    }
    m_flooding = false;
    m_floodIo.stop();
    m_floodThread.join();
    co_await m_room.endChat();
    m_chatDone = true;
    m_latency = m_room.takeLatency();
    m_room.leave();
}

void FloodRun::flood() {
    for (int i = 0; i < m_options.silentOne; ++i) {
        asio::co_spawn(m_floodIo, silent(loopback(2)), asio::detached);
    }
    for (int i = 0; i < m_options.silentSpread; ++i) {
        asio::co_spawn(m_floodIo, silent(loopback(10 + i % m_options.spreadAddresses)), asio::detached);
    }
    m_floodIo.run();
}

asio::awaitable<void> FloodRun::silent(asio::ip::address source) {
    // Refused connections try again after a random share of the pause, so that they do not come all at once.
    std::uniform_int_distribution<long> pause(m_options.refusedRetry.count() / 2,
                                              m_options.refusedRetry.count() * 3 / 2);
    while (m_flooding) {
        auto socket = std::make_shared<Socket>(m_floodIo);
        ++m_attempts;
        const Clock::time_point opened = Clock::now();
        if (!co_await greeted(socket, m_server, source)) {
            ++m_refused;
            co_await sleep(std::chrono::milliseconds(pause(m_random)));
            continue;
        }
        m_peakOpen = std::max(m_peakOpen, ++m_open);
        const Close close = co_await waitForClose(socket, m_options.floodTime + std::chrono::seconds(60));
        --m_open;
        if (close == Close::ByServer && m_flooding) {
            ++m_closedByServer;
            const double held = secondsOf(Clock::now() - opened);
            m_heldMin = std::min(m_heldMin, held);
            m_heldMax = std::max(m_heldMax, held);
        }
    }
}

asio::awaitable<void> FloodRun::newcomer(int index) {
    const int id = kFirstNewcomer + index;
    auto socket = std::make_shared<Socket>(m_io);
    const Clock::time_point start = Clock::now();
    if (co_await greeted(socket, m_server) && co_await signIn(socket, true, userId(id), password(id))) {
        const double ms = millisecondsOf(Clock::now() - start);
        m_signIns.push_back(ms);
        if (m_options.maxSignInMs > 0 && ms > m_options.maxSignInMs) {
            fail(userId(id) + " took " + std::to_string(ms) + " ms to sign in");
        }
    } else {
        fail(userId(id) + " could not sign in");
    }
    closeSocket(socket);
}

void FloodRun::report(std::ostream& out) {
    std::sort(m_signIns.begin(), m_signIns.end());
    out << "flood:                " << m_options.silentOne << " silent connections from 127.0.0.2 and "
        << m_options.silentSpread << " over " << m_options.spreadAddresses << " addresses from 127.0.0.10, for "
        << m_options.floodTime.count() << " s after a " << std::chrono::seconds(kRampUp).count() << " s ramp\n";
    out << "silent connections:   " << m_attempts << " attempts; " << m_refused << " refused at once (retrying after "
        << m_options.refusedRetry.count() << " ms); " << m_closedByServer << " greeted and later closed by the server";
    if (m_closedByServer > 0) {
        out << " after " << m_heldMin << " to " << m_heldMax << " s";
    }
    out << "; at most " << m_peakOpen << " open at once\n";
    out << "newcomers:            " << m_signIns.size() << " of " << m_newcomers
        << " signed in (connect to last reply)";
    if (!m_signIns.empty()) {
        out << " in " << m_signIns.front() << " to " << m_signIns.back() << " ms (median "
            << m_signIns[m_signIns.size() / 2] << " ms)";
    }
    out << "\n";
    out << "chat:                 " << m_room.deliveries() << " deliveries checked, in order, byte for byte\n";
    reportLatency(out, "chat latency:         ", m_latency);
    if (m_probe.enabled()) {
        out << "server RSS:           peak (VmHWM) " << m_probe.hwmKiB() / 1024.0 << " MiB\n";
    }
    checkChat(m_chatDone, m_room.complete(), m_options.chatters, "a chatting user was short of lines");
    checkPeakRss();
}

} // namespace vesmira::load
