#include "server/core/ChatServer.h"

#include "server/bus/PresenceBook.h"
#include "server/core/Connection.h"
#include "server/log/LogText.h"
#include "server/log/Logger.h"
#include "server/proxy/ProxyHandshake.h"
#include "server/tls/TlsCredentials.h"
#include "server/tls/TlsStream.h"
#include "server/workers/WorkerPool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

namespace vesmira {

ChatServer::ChatServer(asio::io_context& io, UserDirectory& users, WorkerPool& workers, Logger& logger,
                       ServerSettings settings, RelayBus* bus, GuessGate* guessGate)
    : m_acceptor(io), m_acceptRetry(io), m_tlsAcceptor(io), m_tlsAcceptRetry(io), m_accountTimer(io), m_users(users),
      m_workers(workers), m_logger(logger), m_settings(settings),
      m_limits({settings.maxConnections, settings.maxPending, settings.maxPerAddress}),
      m_localGuessGate(settings.guessDelay), m_guessGate(guessGate ? *guessGate : m_localGuessGate),
      m_bus(bus ? *bus : m_inProcess), m_instance(randomName()), m_room(m_acceptor.get_executor(), m_stats),
      m_readTurns(m_acceptor.get_executor(), settings.maxQueuedBytes),
      m_backpressure(m_acceptor.get_executor(), m_room.members()) {
    m_bus.start([this](const Record& record, RelayBus::Excluded excluded) { m_room.deliver(record, excluded); },
                [this] { lostRelayedLines(); });
}

ChatServer::~ChatServer() = default;

bool ChatServer::listen(const asio::ip::tcp::endpoint& endpoint, std::string& error) {
    if (!open(m_acceptor, endpoint, error)) {
        return false;
    }
    acceptNext(false);
    serve();
    return true;
}

bool ChatServer::listenTls(const asio::ip::tcp::endpoint& endpoint, const TlsCredentials& credentials,
                           std::string& error) {
    if (!open(m_tlsAcceptor, endpoint, error)) {
        return false;
    }
    m_tls = &credentials;
    acceptNext(true);
    serve();
    return true;
}

bool ChatServer::open(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint, std::string& error) {
    std::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        // Lets a restarted server bind while old connections linger in TIME_WAIT.
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + endpointText(endpoint) + ": " + ec.message();
        std::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    return true;
}

void ChatServer::serve() {
    if (std::exchange(m_serving, true)) {
        return;
    }
    m_stats.setListening(true);
    checkAccounts();
}

asio::ip::tcp::endpoint ChatServer::localEndpoint() const {
    std::error_code ec;
    return m_acceptor.local_endpoint(ec);
}

asio::ip::tcp::endpoint ChatServer::tlsEndpoint() const {
    std::error_code ec;
    return m_tlsAcceptor.local_endpoint(ec);
}

void ChatServer::stop() {
    m_stopped = true;
    m_stats.setListening(false);
    m_accountTimer.cancel();
    std::error_code ignored;
    m_acceptor.close(ignored);
    m_acceptRetry.cancel();
    m_tlsAcceptor.close(ignored);
    m_tlsAcceptRetry.cancel();
    m_bus.stop();
    for (const auto& handshake : std::exchange(m_handshakes, {})) {
        handshake->cancel();
    }
    m_workers.discardQueued();
    const auto connections = std::move(m_connections);
    m_connections.clear();
    for (const auto& connection : connections) {
        connection->close("server shutting down");
    }
    m_room.clear();
    m_backpressure.stop();
}

void ChatServer::acceptNext(bool tls) {
    asio::ip::tcp::acceptor& acceptor = tls ? m_tlsAcceptor : m_acceptor;
    acceptor.async_accept([this, tls](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (m_stopped || ec == asio::error::operation_aborted) {
            return;
        }
        if (ec) {
            if (const auto held = m_acceptErrorLog.admit()) {
                m_logger.log(LogLevel::Warn, {},
                             "accept failed: " + ec.message() +
                                 (*held ? " (" + std::to_string(*held) + " more since the last line)" : ""));
            }
            // Running out of descriptors fails again at once: pause instead of spinning.
            asio::steady_timer& retry = tls ? m_tlsAcceptRetry : m_acceptRetry;
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this, tls](const std::error_code& waitError) {
                if (!waitError && !m_stopped) {
                    acceptNext(tls);
                }
            });
            return;
        }
        std::error_code peerError;
        const asio::ip::tcp::endpoint peer = socket.remote_endpoint(peerError);
        if (peerError) {
            // The peer is gone already; the socket closes here.
        } else if (m_settings.proxyProtocol) {
            readProxyHeader(std::move(socket), peer, tls);
        } else {
            admit(std::move(socket), peer, tls);
        }
        acceptNext(tls);
    });
}

void ChatServer::readProxyHeader(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& proxy, bool tls) {
    // Connections still owing their header are not counted anywhere else yet: they get a budget of their own.
    if (m_handshakes.size() >= m_settings.maxPending) {
        refuse(socket, proxy, Limit::Connections, m_proxyLog,
               "all " + std::to_string(m_settings.maxPending) + " places for connections owing a PROXY header taken");
        return;
    }
    auto handshake = std::make_shared<ProxyHandshake>(
        std::move(socket), m_settings.proxyHeaderTimeout,
        [this, proxy, tls](ProxyHandshake& done, asio::ip::tcp::socket client, const ProxyHeader::Result& result) {
            m_handshakes.erase(done.shared_from_this());
            if (m_stopped) {
                return;
            }
            if (result.status != ProxyHeader::Status::Valid) {
                refuse(client, proxy, Limit::ProxyHeader, m_proxyLog,
                       "no valid PROXY header (" + std::string(result.error) + ")");
                return;
            }
            // LOCAL: the proxy's own connection, a health check; it counts as the proxy's and logs quietly.
            admit(std::move(client), result.source.value_or(proxy), tls, !result.source);
        });
    m_handshakes.insert(handshake);
    handshake->start();
}

void ChatServer::admit(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer, bool tls, bool quiet) {
    const asio::ip::address address = ConnectionLimits::normalized(peer.address());
    switch (m_limits.check(address)) {
    case ConnectionLimits::Decision::RefuseTotal:
        refuse(socket, peer, Limit::Connections, m_totalLog,
               "connection limit of " + std::to_string(m_settings.maxConnections) + " reached");
        return;
    case ConnectionLimits::Decision::RefusePerAddress:
        refuse(socket, peer, Limit::PerAddress, m_perAddressLog,
               "more than " + std::to_string(m_settings.maxPerAddress) + " connections from " + address.to_string());
        return;
    case ConnectionLimits::Decision::AdmitAfterEvicting:
        if (!m_pending.empty()) {
            // close() hands the place back through onClosed() at once. A flood can make this happen thousands
            // of times a second: one line a second says so.
            Connection& oldest = *m_pending.begin()->second;
            if (const auto held = m_evictionLog.admit()) {
                std::string line = "closed: not signed in, and the place was needed for a new connection (all " +
                                   std::to_string(m_settings.maxPending) + " places for signing in were taken";
                if (*held > 0) {
                    line += "; " + std::to_string(*held) + " more closed so since the last line";
                }
                m_logger.log(LogLevel::Warn, oldest.peer(), line + ")");
            }
            oldest.close("not signed in, and the place was needed for a new connection", LogLevel::Debug,
                         Limit::PendingBudget);
        }
        break;
    case ConnectionLimits::Decision::Admit:
        break;
    }
    const std::uint64_t number = ++m_accepted;
    Transport transport = tls ? Transport(std::make_unique<TlsStream>(std::move(socket), m_tls->context()))
                              : Transport(std::move(socket));
    auto connection = std::make_shared<Connection>(number, std::move(transport), peer, address, *this, m_workers,
                                                   m_users, m_logger, m_settings, quiet);
    m_limits.add(address);
    noteConnections();
    m_pending.emplace(number, connection.get());
    m_connections.insert(connection);
    connection->start();
}

void ChatServer::refuse(asio::ip::tcp::socket& socket, const asio::ip::tcp::endpoint& peer, Limit limit,
                        LogThrottle& throttle, const std::string& why) {
    m_counters.count(limit);
    if (const auto held = throttle.admit()) {
        m_logger.log(LogLevel::Warn, endpointText(peer),
                     "refused: " + why +
                         (*held ? " (and " + std::to_string(*held) + " more refused so since the last line)" : ""));
    }
    // A reset leaves no TIME_WAIT behind: a flood of refused connections costs the kernel nothing afterwards.
    std::error_code ignored;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

std::uint64_t ChatServer::onSignedIn(Connection& connection) {
    m_pending.erase(connection.number());
    m_limits.signedIn();
    m_room.join(connection);
    m_backpressure.membersChanged();
    noteConnections();
    // The room's "<ID>：入室しました。" would show as another name's line for an ID that cannot name its lines.
    if (m_settings.presence && connection.namesItsLines()) {
        m_bus.signedIn(connection.userId(), Room::excluding(connection));
    }
    return ++m_signIns;
}

void ChatServer::noteConnections() {
    m_stats.setConnections(m_limits.pending(), m_limits.total() - m_limits.pending());
}

void ChatServer::noteWorkQueue() {
    m_stats.setHashQueue(m_workers.queued() + m_workers.waiting());
}

void ChatServer::scheduleAccountCheck() {
    m_accountTimer.expires_after(m_settings.accountCheckInterval);
    m_accountTimer.async_wait([this](const std::error_code& ec) {
        if (!ec && !m_stopped) {
            checkAccounts();
        }
    });
}

void ChatServer::checkAccounts() {
    // Every signed-in user, once: a second server sharing the store, or the operator's command, may have locked
    // or removed any of them. Sign-ins after this point are not judged by its answer, which may be older.
    std::vector<std::string> ids;
    ids.reserve(m_room.members().size());
    for (const Connection* member : m_room.members()) {
        ids.push_back(member->userId());
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    const std::uint64_t asOf = m_signIns;
    // Ahead of queued sign-in steps: under a storm of sign-ins, a locked user must still go within a second, and
    // the health check must not fail for a database that answers.
    m_workers.submitFirst([&users = m_users, ids = std::move(ids)] { return users.inactiveAmong(ids); },
                          [this, asOf](std::optional<std::vector<std::string>> inactive) {
                              if (m_stopped) {
                                  return;
                              }
                              m_stats.databaseAnswered(inactive.has_value(), std::chrono::steady_clock::now());
                              if (inactive && !inactive->empty()) {
                                  closeAccounts(*inactive, asOf);
                              }
                              scheduleAccountCheck();
                          });
    noteWorkQueue();
}

void ChatServer::closeAccounts(std::vector<std::string> ids, std::uint64_t asOf) {
    std::sort(ids.begin(), ids.end());
    // close() changes no list now (forget() is posted), so iterating over the members is safe.
    for (Connection* member : m_room.members()) {
        if (!member->closed() && member->signInSerial() <= asOf &&
            std::binary_search(ids.begin(), ids.end(), member->userId())) {
            m_stats.closedForAccount();
            member->close("the account was locked or removed", LogLevel::Warn);
        }
    }
}

void ChatServer::onClosed(Connection& connection, std::optional<Limit> limit) {
    if (limit) {
        m_counters.count(*limit);
    }
    if (!connection.signedIn()) {
        m_pending.erase(connection.number());
    }
    m_limits.remove(connection.address(), !connection.signedIn());
    noteConnections();
    // However it ended. A server that stops says nothing: its bus is stopped, and the servers that share the room
    // announce the leaves once this one no longer beats.
    if (connection.signedIn() && connection.namesItsLines() && m_settings.presence && !m_stopped) {
        m_bus.signedOut(connection.userId());
    }
}

void ChatServer::relay(const Record& record, Connection& from, bool leaving) {
    if (leaving && m_settings.presence && record == PresenceBook::left(from.userId())) {
        return; // the room hears of the leave once the ID's last connection has ended, from the bus
    }
    if (m_bus.publish(record, leaving ? Room::excluding(from) : RelayBus::Excluded::Nobody)) {
        return;
    }
    if (const auto held = m_relayHoldLog.admit()) {
        m_logger.log(LogLevel::Warn, from.peer(),
                     std::string(leaving ? "leave notice" : "line") +
                         " not relayed: the relay's hold is full while Redis is unreachable; closing its sender" +
                         (*held ? " (" + std::to_string(*held) + " more since the last line)" : ""));
    }
    if (!leaving) {
        from.close("relay hold full", LogLevel::Info, Limit::RelayHold);
    }
}

void ChatServer::refusedLine(const Connection& from, SenderCheck::Verdict verdict, bool leaving) {
    m_stats.lineRefused(verdict == SenderCheck::Verdict::OtherName ? ServerStats::LineRefusal::OtherName
                                                                   : ServerStats::LineRefusal::NoName);
    if (const auto held = m_refusedLineLog.admit()) {
        m_logger.log(LogLevel::Warn, from.peer(),
                     std::string(leaving ? "leave notice" : "line") + " not relayed: " +
                         std::string(SenderCheck::reasonText(verdict)) + ", user " + LogText::fromCp932(from.userId()) +
                         (*held ? " (" + std::to_string(*held) + " more refused since the last line)" : ""));
    }
}

void ChatServer::lostRelayedLines() {
    // Delivering on around the hole would show them a conversation with lines silently missing; signing in again,
    // they know. The room's list changes only when the server forgets a connection, later.
    m_stats.relayGap();
    for (Connection* member : m_room.members()) {
        member->close("this server fell behind the room's stream and lines were lost", LogLevel::Info, Limit::RelayGap);
    }
}

void ChatServer::forget(const std::shared_ptr<Connection>& connection) {
    m_room.leave(*connection);
    m_backpressure.membersChanged();
    m_connections.erase(connection);
}

std::string ChatServer::randomName() {
    std::random_device device;
    const std::uint64_t value = (std::uint64_t{device()} << 32) | device();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string ChatServer::endpointText(const asio::ip::tcp::endpoint& endpoint) {
    const std::string address = endpoint.address().to_string();
    const std::string port = std::to_string(endpoint.port());
    return endpoint.address().is_v6() ? "[" + address + "]:" + port : address + ":" + port;
}

} // namespace vesmira
