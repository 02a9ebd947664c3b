#include "server/proxy/ProxyHandshake.h"

namespace vesmira {

ProxyHandshake::ProxyHandshake(asio::ip::tcp::socket socket, std::chrono::milliseconds timeout, Done done)
    : m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_timeout(timeout), m_done(std::move(done)) {}

void ProxyHandshake::start() {
    m_timer.expires_after(m_timeout);
    m_timer.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec) {
            self->finish({ProxyHeader::Status::Invalid, 0, std::nullopt, "no PROXY header in time"});
        }
    });
    readMore(ProxyHeader::kFixedSize);
}

void ProxyHandshake::readMore(std::size_t size) {
    // Exactly up to the end of the header as known so far: what follows it is the client's.
    asio::async_read(m_socket, asio::buffer(m_buffer.data() + m_filled, size - m_filled),
                     [self = shared_from_this()](const std::error_code& ec, std::size_t read) {
                         if (self->m_finished) {
                             return;
                         }
                         if (ec) {
                             self->finish({ProxyHeader::Status::Invalid, 0, std::nullopt,
                                           "closed before its PROXY header was complete"});
                             return;
                         }
                         self->m_filled += read;
                         const ProxyHeader::Result result =
                             ProxyHeader::parse(std::span<const std::uint8_t>(self->m_buffer.data(), self->m_filled));
                         if (result.status == ProxyHeader::Status::Incomplete) {
                             self->readMore(result.size);
                         } else {
                             self->finish(result);
                         }
                     });
}

void ProxyHandshake::finish(const ProxyHeader::Result& result) {
    if (m_finished) {
        return;
    }
    m_finished = true;
    m_timer.cancel();
    Done done = std::move(m_done);
    if (result.status != ProxyHeader::Status::Valid) {
        // Ends the pending read, if any; its handler sees m_finished.
        std::error_code ignored;
        m_socket.cancel(ignored);
    }
    done(*this, std::move(m_socket), result);
}

void ProxyHandshake::cancel() {
    if (m_finished) {
        return;
    }
    m_finished = true;
    m_timer.cancel();
    std::error_code ignored;
    m_socket.close(ignored);
}

} // namespace vesmira
