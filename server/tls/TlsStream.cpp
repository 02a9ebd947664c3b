#include "server/tls/TlsStream.h"

#include <algorithm>
#include <cstring>

namespace vesmira {

TlsStream::TlsStream(asio::ip::tcp::socket socket, std::shared_ptr<asio::ssl::context> context)
    : m_context(std::move(context)), m_stream(std::move(socket), *m_context) {}

void TlsStream::handshake(Handler done) {
    m_stream.async_handshake(asio::ssl::stream_base::server, [this, done = std::move(done)](const std::error_code& ec) {
        m_established = !ec;
        done(ec);
    });
}

std::string TlsStream::description() const {
    SSL* ssl = const_cast<asio::ssl::stream<asio::ip::tcp::socket>&>(m_stream).native_handle();
    return std::string(SSL_get_version(ssl)) + " " + SSL_get_cipher_name(ssl);
}

std::size_t TlsStream::readSome(asio::mutable_buffer buffer, std::error_code& ec) {
    if (m_inboxBegin < m_inboxEnd) {
        const std::size_t size = std::min(buffer.size(), m_inboxEnd - m_inboxBegin);
        std::memcpy(buffer.data(), m_inbox.data() + m_inboxBegin, size);
        m_inboxBegin += size;
        ec = {};
        return size;
    }
    ec = m_inboxError ? m_inboxError : make_error_code(asio::error::would_block);
    return 0;
}

void TlsStream::waitReadable(Handler handler) {
    if (m_inboxBegin < m_inboxEnd || m_inboxError) {
        asio::post(m_stream.get_executor(), [handler = std::move(handler)] { handler({}); });
        return;
    }
    m_stream.async_read_some(asio::buffer(m_inbox),
                             [this, handler = std::move(handler)](std::error_code ec, std::size_t size) {
                                 // Without TLS's close the peer may still have ended on a record boundary; the
                                 // chat's own framing tells, as it does for plain TCP.
                                 if (ec == asio::ssl::error::stream_truncated) {
                                     ec = asio::error::eof;
                                 }
                                 m_inboxBegin = 0;
                                 m_inboxEnd = size;
                                 m_inboxError = ec;
                                 handler(size > 0 ? std::error_code() : ec);
                             });
}

void TlsStream::write(std::span<const asio::const_buffer> buffers, WriteHandler done) {
    m_outbox.clear();
    for (const asio::const_buffer& buffer : buffers) {
        const std::size_t take = std::min(buffer.size(), kMaxWriteBytes - m_outbox.size());
        m_outbox.append(static_cast<const char*>(buffer.data()), take);
        if (m_outbox.size() == kMaxWriteBytes) {
            break;
        }
    }
    m_writing = true;
    asio::async_write(m_stream, asio::buffer(m_outbox),
                      [this, done = std::move(done)](const std::error_code& ec, std::size_t written) {
                          m_writing = false;
                          done(ec, written);
                      });
}

void TlsStream::closeNotify() {
    if (!m_established || m_writing) {
        return; // an alert amid a record under way would only garble it
    }
    // Best effort on the non-blocking socket: the alert goes out if the kernel takes it at once; the peer's own
    // close is not waited for.
    std::error_code ignored;
    m_stream.shutdown(ignored);
}

} // namespace vesmira
