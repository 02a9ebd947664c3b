#pragma once

#include "server/proxy/ProxyHeader.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>

namespace vesmira {

// Reads the PROXY header a new connection must begin with, and nothing after it, within a time limit; then hands
// the socket on with the outcome (Invalid with a reason when the header is bad, late or missing).
class ProxyHandshake : public std::enable_shared_from_this<ProxyHandshake> {
public:
    using Done =
        std::function<void(ProxyHandshake& handshake, asio::ip::tcp::socket socket, const ProxyHeader::Result& result)>;

    ProxyHandshake(asio::ip::tcp::socket socket, std::chrono::milliseconds timeout, Done done);

    void start();
    // Ends the handshake at once; `done` is not called.
    void cancel();

private:
    void readMore(std::size_t size);
    void finish(const ProxyHeader::Result& result);

    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_timer;
    std::chrono::milliseconds m_timeout;
    Done m_done;
    std::array<std::uint8_t, ProxyHeader::kMaxSize> m_buffer{};
    std::size_t m_filled = 0;
    bool m_finished = false;
};

} // namespace vesmira
