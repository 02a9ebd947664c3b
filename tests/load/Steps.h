#pragma once

#include "protocol/SignInWords.h"

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ssl.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vesmira::load {

// The steps every load scenario is made of, as coroutines on one io_context. Each wait is bounded: a silent
// server fails the step instead of hanging the run.
using Socket = asio::ip::tcp::socket;
using SocketPtr = std::shared_ptr<Socket>;
// TLS over a member's socket (--tls): the same steps, through it.
using TlsStream = asio::ssl::stream<Socket&>;
using Clock = std::chrono::steady_clock;

inline constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
using vesmira::kAccept;
using vesmira::kAuthenticateCommand;
using vesmira::kGreeting;
using vesmira::kPasswordPrefix;
using vesmira::kRefuse;
using vesmira::kRegisterCommand;
using vesmira::kUserPrefix;
// A connect or a sign-in reply may wait behind a whole round of relaying, but not this long.
inline constexpr auto kStepTimeout = std::chrono::seconds(30);

enum class Close { ByServer, StillOpen };

// Closes the socket when the timeout passes first, so that a pending operation on it fails instead of hanging.
class Watchdog {
public:
    Watchdog(const SocketPtr& socket, Clock::duration timeout);
    ~Watchdog() { m_timer.cancel(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    bool fired() const { return *m_fired; }

private:
    asio::steady_timer m_timer;
    std::shared_ptr<bool> m_fired = std::make_shared<bool>(false);
};

// Connects with TCP_NODELAY, from `source` (a loopback address such as 127.0.0.7) when given, and with a small
// receive buffer when receiveBuffer is not 0.
asio::awaitable<bool> connect(const SocketPtr& socket, const asio::ip::tcp::endpoint& server,
                              const std::optional<asio::ip::address>& source = std::nullopt, int receiveBuffer = 0);
// Connects and reads the server's greeting; false when either fails (a server at a limit closes at once).
asio::awaitable<bool> greeted(const SocketPtr& socket, const asio::ip::tcp::endpoint& server,
                              const std::optional<asio::ip::address>& source = std::nullopt, int receiveBuffer = 0);
// Over `stream`, the socket or TLS over it; `socket` is closed when the step takes too long.
template <typename Stream>
asio::awaitable<bool> readExactly(Stream& stream, const SocketPtr& socket, std::size_t size, std::string& out) {
    Watchdog watchdog(socket, kStepTimeout);
    out.assign(size, '\0');
    auto [ec, read] = co_await asio::async_read(stream, asio::buffer(out), kNoThrow);
    co_return !ec && read == size;
}
inline asio::awaitable<bool> readExactly(const SocketPtr& socket, std::size_t size, std::string& out) {
    return readExactly(*socket, socket, size, out);
}
// The lock-step sign-in: ENTRY and the two fields, or JUDGE with USER: and PASSWORD:.
template <typename Stream>
asio::awaitable<bool> signIn(Stream& stream, const SocketPtr& socket, bool registering, std::string id,
                             std::string password) {
    const std::array<std::string, 3> messages =
        registering ? std::array<std::string, 3>{std::string(kRegisterCommand), id, password}
                    : std::array<std::string, 3>{std::string(kAuthenticateCommand), std::string(kUserPrefix) + id,
                                                 std::string(kPasswordPrefix) + password};
    for (const std::string& message : messages) {
        auto [ec, written] = co_await asio::async_write(stream, asio::buffer(message), kNoThrow);
        if (ec) {
            co_return false;
        }
        // Not in one condition with the above: GCC 12 mishandles co_await inside || and &&.
        std::string reply;
        const bool replied = co_await readExactly(stream, socket, kAccept.size(), reply);
        if (!replied || reply != kAccept) {
            co_return false;
        }
    }
    co_return true;
}
inline asio::awaitable<bool> signIn(const SocketPtr& socket, bool registering, std::string id, std::string password) {
    return signIn(*socket, socket, registering, std::move(id), std::move(password));
}
// As greeted(), over TLS: connects `socket`, makes the client's side of the handshake through `tls` (a stream on that
// socket), then reads the greeting through it. Any certificate will do: the tool measures the server, the tests
// check trust.
asio::awaitable<bool> greetedOverTls(TlsStream& tls, const SocketPtr& socket, const asio::ip::tcp::endpoint& server,
                                     const std::optional<asio::ip::address>& source = std::nullopt,
                                     int receiveBuffer = 0);
// Reads and discards until the server closes the connection or `timeout` passes.
asio::awaitable<Close> waitForClose(const SocketPtr& socket, Clock::duration timeout, std::size_t* bytesRead = nullptr);
asio::awaitable<void> sleep(Clock::duration duration);
void closeSocket(const SocketPtr& socket);

// 127.0.0.<last>: every one of them reaches this host, and the server counts each as an address of its own.
asio::ip::address loopback(int last);

double secondsOf(Clock::duration duration);
double millisecondsOf(Clock::duration duration);

} // namespace vesmira::load
