#include "server/ChatServer.h"

#include "server/Connection.h"
#include "server/Logger.h"

#include <chrono>

namespace vesmira {

ChatServer::ChatServer(asio::io_context& io, UserDirectory& users, Logger& logger, ServerSettings settings)
    : m_acceptor(io), m_acceptRetry(io), m_users(users), m_logger(logger), m_settings(settings) {}

ChatServer::~ChatServer() = default;

bool ChatServer::listen(const asio::ip::tcp::endpoint& endpoint, std::string& error) {
    std::error_code ec;
    m_acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        // Lets a restarted server bind while old connections linger in TIME_WAIT.
        m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        m_acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + endpointText(endpoint) + ": " + ec.message();
        std::error_code ignored;
        m_acceptor.close(ignored);
        return false;
    }
    acceptNext();
    return true;
}

asio::ip::tcp::endpoint ChatServer::localEndpoint() const {
    std::error_code ec;
    return m_acceptor.local_endpoint(ec);
}

void ChatServer::stop() {
    m_stopped = true;
    std::error_code ignored;
    m_acceptor.close(ignored);
    m_acceptRetry.cancel();
    const auto connections = std::move(m_connections);
    m_connections.clear();
    for (const auto& connection : connections) {
        connection->close("server shutting down");
    }
}

void ChatServer::acceptNext() {
    m_acceptor.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (m_stopped || ec == asio::error::operation_aborted) {
            return;
        }
        if (ec) {
            m_logger.log(LogLevel::Warn, {}, "accept failed: " + ec.message());
            // Running out of descriptors fails again at once: pause instead of spinning.
            m_acceptRetry.expires_after(std::chrono::milliseconds(100));
            m_acceptRetry.async_wait([this](const std::error_code& waitError) {
                if (!waitError && !m_stopped) {
                    acceptNext();
                }
            });
            return;
        }
        if (m_connections.size() >= m_settings.maxConnections) {
            std::error_code peerError;
            const auto peer = socket.remote_endpoint(peerError);
            m_logger.log(LogLevel::Warn, peerError ? std::string("unknown-peer") : endpointText(peer),
                         "refused: connection limit reached");
            std::error_code ignored;
            socket.close(ignored);
        } else {
            auto connection = std::make_shared<Connection>(std::move(socket), *this, m_users, m_logger, m_settings);
            m_connections.insert(connection);
            connection->start();
        }
        acceptNext();
    });
}

void ChatServer::broadcast(const Record& record, const Connection* except) {
    const auto bytes = std::make_shared<const std::string>(record.data(), record.size());
    for (const auto& connection : m_connections) {
        if (connection.get() != except && connection->signedIn() && !connection->deliver(bytes)) {
            ++m_overflowDrops;
        }
    }
}

void ChatServer::forget(const std::shared_ptr<Connection>& connection) {
    m_connections.erase(connection);
}

std::string ChatServer::endpointText(const asio::ip::tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    const std::string port = std::to_string(endpoint.port());
    return endpoint.address().is_v6() ? "[" + address + "]:" + port : address + ":" + port;
}

} // namespace vesmira
