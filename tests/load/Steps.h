#pragma once

#include "protocol/SignInWords.h"

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

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
using Clock = std::chrono::steady_clock;

inline constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
using vesmira::kAccept;
using vesmira::kGreeting;
using vesmira::kRefuse;
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
asio::awaitable<bool> readExactly(const SocketPtr& socket, std::size_t size, std::string& out);
// The lock-step sign-in: ENTRY and the two fields, or JUDGE with USER: and PASSWORD:.
asio::awaitable<bool> signIn(const SocketPtr& socket, bool registering, std::string id, std::string password);
// Reads and discards until the server closes the connection or `timeout` passes.
asio::awaitable<Close> waitForClose(const SocketPtr& socket, Clock::duration timeout, std::size_t* bytesRead = nullptr);
asio::awaitable<void> sleep(Clock::duration duration);
void closeSocket(const SocketPtr& socket);

// 127.0.0.<last>: every one of them reaches this host, and the server counts each as an address of its own.
asio::ip::address loopback(int last);

double secondsOf(Clock::duration duration);
double millisecondsOf(Clock::duration duration);

} // namespace vesmira::load
