#include "Steps.h"

#include <array>

namespace vesmira::load {

Watchdog::Watchdog(const SocketPtr& socket, Clock::duration timeout) : m_timer(socket->get_executor()) {
    m_timer.expires_after(timeout);
    m_timer.async_wait([weak = std::weak_ptr<Socket>(socket), fired = m_fired](const std::error_code& ec) {
        if (ec) {
            return;
        }
        *fired = true;
        if (const SocketPtr alive = weak.lock()) {
            std::error_code ignored;
            alive->close(ignored);
        }
    });
}

asio::awaitable<bool> connect(const SocketPtr& socket, const asio::ip::tcp::endpoint& server,
                              const std::optional<asio::ip::address>& source, int receiveBuffer) {
    std::error_code ec;
    if (!socket->is_open()) {
        socket->open(server.protocol(), ec);
    }
    if (!ec && receiveBuffer > 0) {
        socket->set_option(asio::socket_base::receive_buffer_size(receiveBuffer), ec);
    }
    if (!ec && source) {
        socket->bind({*source, 0}, ec);
    }
    if (ec) {
        co_return false;
    }
    Watchdog watchdog(socket, kStepTimeout);
    auto [connectError] = co_await socket->async_connect(server, kNoThrow);
    if (!connectError) {
        socket->set_option(asio::ip::tcp::no_delay(true), ec);
    }
    co_return !connectError;
}

asio::awaitable<bool> greeted(const SocketPtr& socket, const asio::ip::tcp::endpoint& server,
                              const std::optional<asio::ip::address>& source, int receiveBuffer) {
    if (!co_await connect(socket, server, source, receiveBuffer)) {
        co_return false;
    }
    std::string greeting;
    if (!co_await readExactly(socket, kGreeting.size(), greeting)) {
        co_return false;
    }
    co_return greeting == kGreeting;
}

asio::awaitable<bool> greetedOverTls(TlsStream& tls, const SocketPtr& socket, const asio::ip::tcp::endpoint& server,
                                     const std::optional<asio::ip::address>& source, int receiveBuffer) {
    if (!co_await connect(socket, server, source, receiveBuffer)) {
        co_return false;
    }
    {
        Watchdog watchdog(socket, kStepTimeout);
        auto [ec] = co_await tls.async_handshake(asio::ssl::stream_base::client, kNoThrow);
        if (ec) {
            co_return false;
        }
    }
    std::string greeting;
    const bool read = co_await readExactly(tls, socket, kGreeting.size(), greeting);
    co_return read&& greeting == kGreeting;
}

asio::awaitable<Close> waitForClose(const SocketPtr& socket, Clock::duration timeout, std::size_t* bytesRead) {
    Watchdog watchdog(socket, timeout);
    std::array<char, 16384> buffer;
    for (;;) {
        auto [ec, size] = co_await socket->async_read_some(asio::buffer(buffer), kNoThrow);
        if (ec) {
            co_return watchdog.fired() ? Close::StillOpen : Close::ByServer;
        }
        if (bytesRead) {
            *bytesRead += size;
        }
    }
}

asio::awaitable<void> sleep(Clock::duration duration) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    timer.expires_after(duration);
    co_await timer.async_wait(kNoThrow);
}

void closeSocket(const SocketPtr& socket) {
    std::error_code ignored;
    socket->close(ignored);
}

asio::ip::address loopback(int last) {
    return asio::ip::make_address_v4(asio::ip::address_v4::bytes_type{127, 0, 0, static_cast<unsigned char>(last)});
}

double secondsOf(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double millisecondsOf(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

} // namespace vesmira::load
