#pragma once

#include "server/RecordAssembler.h"
#include "server/ServerSettings.h"

#include <asio.hpp>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>

namespace vesmira {

class Connection;
class Logger;
class UserDirectory;

// Accepts clients and relays chat records between the signed-in ones. Everything runs on the io_context's
// single thread; only the counters may be read from elsewhere.
class ChatServer {
public:
    ChatServer(asio::io_context& io, UserDirectory& users, Logger& logger, ServerSettings settings = {});
    ~ChatServer();

    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // Binds and starts accepting; false with a message in `error` on failure.
    bool listen(const asio::ip::tcp::endpoint& endpoint, std::string& error);
    asio::ip::tcp::endpoint localEndpoint() const;
    // Stops accepting and closes every connection; io_context::run() returns once their handlers have run.
    void stop();

    // Sends one record to every signed-in connection except `except` (nullptr: to all, sender included).
    void broadcast(const Record& record, const Connection* except);
    void forget(const std::shared_ptr<Connection>& connection);

    std::size_t overflowDrops() const { return m_overflowDrops.load(); }

    static std::string endpointText(const asio::ip::tcp::endpoint& endpoint);

private:
    void acceptNext();

    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_acceptRetry;
    UserDirectory& m_users;
    Logger& m_logger;
    ServerSettings m_settings;
    std::unordered_set<std::shared_ptr<Connection>> m_connections;
    std::atomic<std::size_t> m_overflowDrops{0};
    bool m_stopped = false;
};

} // namespace vesmira
