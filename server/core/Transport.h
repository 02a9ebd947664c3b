#pragma once

#include <asio.hpp>

#include <functional>
#include <memory>
#include <span>
#include <string>

namespace vesmira {

class TlsStream;

// What a connection reads from and writes to: its TCP socket, or TLS over it. The bytes are the same either way,
// and nothing above this class knows which. Reads never block: data, would_block, or the error that ended the
// stream. Relay thread only.
class Transport {
public:
    explicit Transport(asio::ip::tcp::socket socket);
    explicit Transport(std::unique_ptr<TlsStream> tls);
    ~Transport();
    Transport(Transport&&) noexcept;
    Transport& operator=(Transport&&) = delete;

    // The TCP socket underneath: its options, its executor.
    asio::ip::tcp::socket& socket() { return m_tls ? tlsSocket() : m_socket; }
    bool encrypted() const { return m_tls != nullptr; }
    // TLS only: the handshake, which comes before anything is read or written; and what it agreed on.
    void handshake(std::function<void(const std::error_code&)> done);
    std::string description() const;

    std::size_t readSome(asio::mutable_buffer buffer, std::error_code& ec) {
        return m_tls ? readTls(buffer, ec) : m_socket.read_some(buffer, ec);
    }
    template <typename Handler> void waitReadable(Handler handler) {
        if (m_tls) {
            waitTls(std::move(handler));
        } else {
            m_socket.async_wait(asio::socket_base::wait_read, std::move(handler));
        }
    }
    // What the kernel takes at once; over TLS nothing (would_block): every write goes through asyncWriteSome().
    std::size_t writeSome(std::span<const asio::const_buffer> buffers, std::error_code& ec) {
        if (m_tls) {
            ec = asio::error::would_block;
            return 0;
        }
        return m_socket.write_some(buffers, ec);
    }
    // At least one byte of the buffers (over TLS, up to a full TLS record), which must stay valid until `handler` runs
    // with the number of bytes written.
    template <typename Handler> void asyncWriteSome(std::span<const asio::const_buffer> buffers, Handler handler) {
        if (m_tls) {
            writeTls(buffers, std::move(handler));
        } else {
            m_socket.async_write_some(buffers, std::move(handler));
        }
    }
    // Ends the connection: an orderly end (TLS's close first), or with `reset` a reset that frees at once whatever
    // the kernel still holds for the peer.
    void close(bool reset);

private:
    asio::ip::tcp::socket& tlsSocket();
    std::size_t readTls(asio::mutable_buffer buffer, std::error_code& ec);
    void waitTls(std::function<void(const std::error_code&)> handler);
    void writeTls(std::span<const asio::const_buffer> buffers,
                  std::function<void(const std::error_code&, std::size_t)> handler);

    asio::ip::tcp::socket m_socket; // plain TCP; unused under TLS
    std::unique_ptr<TlsStream> m_tls;
};

} // namespace vesmira
