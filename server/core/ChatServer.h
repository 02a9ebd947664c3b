#pragma once

#include "protocol/Record.h"
#include "server/bus/InProcessBus.h"
#include "server/core/Backpressure.h"
#include "server/core/ReadTurns.h"
#include "server/core/Room.h"
#include "server/core/SenderCheck.h"
#include "server/core/ServerSettings.h"
#include "server/limits/ConnectionLimits.h"
#include "server/limits/LimitCounters.h"
#include "server/limits/LocalGuessGate.h"
#include "server/log/LogThrottle.h"
#include "server/metrics/ServerStats.h"

#include <asio.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace vesmira {

class Connection;
class Logger;
class ProxyHandshake;
class RelayBus;
class TlsCredentials;
class UserDirectory;
class WorkerPool;

// Accepts clients and relays chat records between the signed-in ones. Everything runs on the io_context's
// single thread, which never blocks: the account store is asked on the worker pool, and a shared relay bus has
// threads of its own. Only the counters may be read from elsewhere.
class ChatServer {
public:
    // Without a bus, records go straight to this server's members.
    // Without a guess gate, failed sign-ins are slowed by this server alone.
    ChatServer(asio::io_context& io, UserDirectory& users, WorkerPool& workers, Logger& logger,
               ServerSettings settings = {}, RelayBus* bus = nullptr, GuessGate* guessGate = nullptr);
    ~ChatServer();

    ChatServer(const ChatServer&) = delete;
    ChatServer& operator=(const ChatServer&) = delete;

    // Binds and starts accepting; false with a message in `error` on failure.
    bool listen(const asio::ip::tcp::endpoint& endpoint, std::string& error);
    // The same over TLS, beside or instead of the plain listener, with the certificate `credentials` holds at
    // each connection's start (it may be reloaded meanwhile); `credentials` must outlive the server.
    bool listenTls(const asio::ip::tcp::endpoint& endpoint, const TlsCredentials& credentials, std::string& error);
    asio::ip::tcp::endpoint localEndpoint() const;
    asio::ip::tcp::endpoint tlsEndpoint() const;
    // Stops accepting, closes every connection and drops sign-in steps not yet started; io_context::run()
    // returns once the handlers of the rest have run.
    void stop();

    // A record that `from` sent (a leave notice when `leaving`: everyone else gets it) goes to the room. When the
    // bus cannot take it, `from` is closed: a line is never dropped without a word.
    void relay(const Record& record, Connection& from, bool leaving = false);

    // A line (or leave notice) `from` sent was not in its own name: counted, and logged at most once a second.
    void refusedLine(const Connection& from, SenderCheck::Verdict verdict, bool leaving);

    // From a connection: it signed in (returns the serial number of the sign-in); it closed (its places are free at
    // once); it may be let go.
    std::uint64_t onSignedIn(Connection& connection);
    void onClosed(Connection& connection, std::optional<Limit> limit);
    void forget(const std::shared_ptr<Connection>& connection);

    // Where connections read: the relay thread handles each read before the next, so one buffer serves all. It
    // holds the most records one read may take.
    char* readBuffer() { return m_readBuffer.data(); }
    static constexpr std::size_t kReadBufferSize = ReadTurns::kMaxTurnRecords * kRecordSize;
    ReadTurns& readTurns() { return m_readTurns; }
    Backpressure& backpressure() { return m_backpressure; }

    // Names connection `number` uniquely among every server sharing the user store.
    std::string holder(std::uint64_t number) const { return m_instance + "/" + std::to_string(number); }
    bool stopping() const { return m_stopped; }

    const LimitCounters& limitCounters() const { return m_counters; }
    // Readable from any thread.
    ServerStats& stats() { return m_stats; }
    // Any thread.
    GuessGate& guessGate() { return m_guessGate; }
    // Updates the gauge of sign-in steps waiting for the workers.
    void noteWorkQueue();
    std::size_t overflowDrops() const { return m_counters.value(Limit::SendQueue); }

    static std::string endpointText(const asio::ip::tcp::endpoint& endpoint);
    // 16 random hex digits: a name for this server process.
    static std::string randomName();

private:
    bool open(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint, std::string& error);
    // The first listener starts the server's own rounds.
    void serve();
    void acceptNext(bool tls);
    void noteConnections();
    // Asks the store which signed-in users may no longer be (every accountCheckInterval) and closes them.
    void scheduleAccountCheck();
    void checkAccounts();
    void closeAccounts(std::vector<std::string> ids, std::uint64_t asOf);
    void readProxyHeader(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& proxy, bool tls);
    // Where a new connection from `peer` is let in or turned away. With a proxy in front, the address to count
    // is the client's, read from the proxy's header, not the socket's. A connection of the TLS listener gets TLS
    // over its socket.
    void admit(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer, bool tls, bool quiet = false);
    // The bus lost records before they reached this server's users: they are closed.
    void lostRelayedLines();
    void refuse(asio::ip::tcp::socket& socket, const asio::ip::tcp::endpoint& peer, Limit limit, LogThrottle& throttle,
                const std::string& why);

    asio::ip::tcp::acceptor m_acceptor;
    asio::steady_timer m_acceptRetry;
    asio::ip::tcp::acceptor m_tlsAcceptor;
    asio::steady_timer m_tlsAcceptRetry;
    const TlsCredentials* m_tls = nullptr;
    bool m_serving = false;
    asio::steady_timer m_accountTimer;
    UserDirectory& m_users;
    WorkerPool& m_workers;
    Logger& m_logger;
    ServerSettings m_settings;
    ConnectionLimits m_limits;
    LimitCounters m_counters;
    ServerStats m_stats;
    LocalGuessGate m_localGuessGate;
    GuessGate& m_guessGate;
    std::uint64_t m_signIns = 0; // serial numbers of sign-ins
    LogThrottle m_totalLog;
    LogThrottle m_perAddressLog;
    LogThrottle m_acceptErrorLog;
    LogThrottle m_evictionLog;
    LogThrottle m_proxyLog;
    LogThrottle m_relayHoldLog;
    LogThrottle m_refusedLineLog;
    InProcessBus m_inProcess;
    RelayBus& m_bus;
    const std::string m_instance;
    std::uint64_t m_accepted = 0;                                     // numbers the connections
    std::unordered_set<std::shared_ptr<ProxyHandshake>> m_handshakes; // connections whose PROXY header is due
    std::unordered_set<std::shared_ptr<Connection>> m_connections;
    std::map<std::uint64_t, Connection*> m_pending; // not signed in, by number: the oldest first
    Room m_room;                                    // signed in
    ReadTurns m_readTurns;
    Backpressure m_backpressure; // of m_room
    std::array<char, kReadBufferSize> m_readBuffer{};
    bool m_stopped = false;
};

} // namespace vesmira
