#include "server/core/Transport.h"

#include "server/tls/TlsStream.h"

namespace vesmira {

Transport::Transport(asio::ip::tcp::socket socket) : m_socket(std::move(socket)) {}

Transport::Transport(std::unique_ptr<TlsStream> tls) : m_socket(tls->socket().get_executor()), m_tls(std::move(tls)) {}

Transport::~Transport() = default;

Transport::Transport(Transport&&) noexcept = default;

void Transport::handshake(std::function<void(const std::error_code&)> done) {
    m_tls->handshake(std::move(done));
}

std::string Transport::description() const {
    return m_tls ? m_tls->description() : "TCP";
}

asio::ip::tcp::socket& Transport::tlsSocket() {
    return m_tls->socket();
}

std::size_t Transport::readTls(asio::mutable_buffer buffer, std::error_code& ec) {
    return m_tls->readSome(buffer, ec);
}

void Transport::waitTls(std::function<void(const std::error_code&)> handler) {
    m_tls->waitReadable(std::move(handler));
}

void Transport::writeTls(std::span<const asio::const_buffer> buffers,
                         std::function<void(const std::error_code&, std::size_t)> handler) {
    m_tls->write(buffers, std::move(handler));
}

void Transport::close(bool reset) {
    asio::ip::tcp::socket& tcp = socket();
    std::error_code ignored;
    if (reset) {
        tcp.set_option(asio::socket_base::linger(true, 0), ignored);
    } else {
        if (m_tls) {
            m_tls->closeNotify();
        }
        tcp.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    }
    tcp.close(ignored);
}

} // namespace vesmira
