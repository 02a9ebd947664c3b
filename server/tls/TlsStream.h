#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <array>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace vesmira {

// One connection's TLS, as the relay reads and writes it: reads that never block (from what the last wait
// decrypted) and writes that complete later. Relay thread only.
class TlsStream {
public:
    using Handler = std::function<void(const std::error_code&)>;
    using WriteHandler = std::function<void(const std::error_code&, std::size_t)>;

    // `context` is kept as long as the stream: a certificate reloaded meanwhile does not concern it.
    TlsStream(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> context);

    asio::ip::tcp::socket& socket() { return m_stream.next_layer(); }
    // The server's side of the handshake.
    void handshake(Handler done);
    // What the handshake agreed on, as "TLSv1.3 TLS_AES_128_GCM_SHA256".
    std::string description() const;

    // What the last wait decrypted, up to the buffer's size; would_block when nothing is left, or the error that
    // ended the stream (eof also when the peer closed without TLS's own close).
    std::size_t readSome(asio::mutable_buffer buffer, std::error_code& ec);
    // Calls `handler` once readSome() has something to give.
    void waitReadable(Handler handler);
    // Writes the buffers' first kMaxWriteBytes or fewer; `done` gets the number of bytes. One write at a time.
    void write(std::span<const asio::const_buffer> buffers, WriteHandler done);
    // Tells the peer that the stream ends, unless a write is under way; the caller closes the socket.
    void closeNotify();

private:
    std::shared_ptr<asio::ssl::context> m_context;
    asio::ssl::stream<asio::ip::tcp::socket> m_stream;
    // Decrypted and not yet read: a connection that reads a record at a time finds the rest here.
    std::array<char, 4096> m_inbox{};
    std::size_t m_inboxBegin = 0;
    std::size_t m_inboxEnd = 0;
    std::error_code m_inboxError;
    // A full TLS record's worth. What waits beyond it stays in the send queue, which shares each record among the
    // readers, rather than in a copy per connection: a room of 1,000 behind by a turn holds 16 KiB each, not 64.
    static constexpr std::size_t kMaxWriteBytes = 16 * 1024;

    // What the write under way encrypts: the queue's buffers in one piece, so that records go out in full TLS
    // records rather than one per buffer.
    std::string m_outbox;
    bool m_writing = false;
    bool m_established = false;
};

} // namespace vesmira
