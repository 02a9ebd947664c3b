#pragma once

#include "server/core/RecordAssembler.h"
#include "server/core/ServerSettings.h"
#include "server/core/SignInProtocol.h"
#include "server/limits/LimitCounters.h"
#include "server/log/Logger.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesmira {

class ChatServer;
class UserDirectory;
class WorkerPool;

// One client: greeting, lock-step sign-in, then the record stream. Owns its socket and its bounded send queue;
// every failure ends this connection only. Lives on the relay thread; the account store is asked on the worker
// pool, and the connection reads nothing more until the answer is back.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Bytes = std::shared_ptr<const std::string>;
    using Clock = std::chrono::steady_clock;

    // `peer` is the client's address as the log shows it (from a proxy's header when there is one); `address` is
    // what the limits count. A quiet connection (a proxy's health check) logs its ordinary events at debug level.
    Connection(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer, const asio::ip::address& address,
               ChatServer& server, WorkerPool& workers, UserDirectory& users, Logger& logger,
               const ServerSettings& settings, bool quiet = false);

    void start();
    // Queues bytes as one write and starts writing. False when the queue would overflow: the connection is then
    // closed.
    bool deliver(const Bytes& bytes);
    // Queues bytes for the next flush(), so that records relayed in the same turn of the event loop go out in one
    // write. True when the connection wants a flush it has not been promised yet.
    bool queue(const Bytes& bytes);
    // Starts writing what queue() left, unless a write is under way (its completion takes the rest).
    void flush();
    // Idempotent; pending sends are dropped. A close for a limit counts it; a reset (RST instead of FIN) also
    // frees at once whatever the kernel still holds for the peer.
    void close(std::string_view reason, LogLevel level = LogLevel::Info, std::optional<Limit> limit = std::nullopt,
               bool reset = false);

    bool signedIn() const { return m_signedIn; }
    // Once signed in: the user's ID, and the order of sign-ins on this server.
    const std::string& userId() const { return m_protocol.userId(); }
    std::uint64_t signInSerial() const { return m_signInSerial; }
    bool closed() const { return m_closed; }
    const std::string& peer() const { return m_peer; }
    const asio::ip::address& address() const { return m_address; }

private:
    friend class ChatServer; // keeps the connection's places in its lists

    // Reads what is there into the server's buffer and handles it, or waits until something is.
    void readNext();
    void waitReadable();
    void onReadError(const std::error_code& ec);
    void onSignInMessage(std::string_view message);
    // Runs a step's query on the worker pool.
    void submitStep(SignInProtocol::Query query, bool registering, SignInProtocol::State step);
    void onSignInOutcome(const SignInProtocol::Outcome& outcome, bool registering, SignInProtocol::State step);
    // The reply to a step, once any delay for a failed authentication is over.
    void reply(const SignInProtocol::Outcome& outcome, bool registering);
    // Holds the connection's sign-in (reading nothing, its time-out stopped) until `at`, then runs `then`.
    template <typename Then> void holdUntil(Clock::time_point at, Then then);
    // The client's sign-in clock stops while the server holds back or works on its step: neither a held refusal
    // nor a busy pool may time out an honest user.
    void pauseSignInClock();
    void resumeSignInClock();
    // Lets the store give up the ID it holds for this registration (on the worker pool; nothing waits for it).
    void releaseId(const std::string& id);
    void onRecordBytes(std::string_view bytes);
    void onEndOfStream();
    bool enqueue(const Bytes& bytes);
    void writeNext();
    void onWritten();
    void trimQueues();
    void onWriteFailed(const std::error_code& ec);
    void armTimer(Clock::time_point at);
    void disarmTimer();
    void onTimer();
    void log(LogLevel level, std::string_view message);
    // Whether a line at `level` is written: the lines built from parts are only built then.
    bool logs(LogLevel level) const { return m_logger.enabled(shown(level)); }
    LogLevel shown(LogLevel level) const { return m_quiet && level == LogLevel::Info ? LogLevel::Debug : level; }

    // One read before sign-in is one message: anything longer than a sign-in message is refused.
    static constexpr std::size_t kSignInReadSize = 512;
    // After sign-in, about one record per read: each turn of the event loop then queues at most one record per
    // sender to every reader, so that a burst from a thousand senders stays far inside a reader's send queue.
    static constexpr std::size_t kRecordReadSize = 512;

    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_timer;     // the sign-in deadline, then the time-out of an incomplete record
    asio::steady_timer m_holdTimer; // a sign-in step held back after failed authentications
    ChatServer& m_server;
    WorkerPool& m_workers;
    UserDirectory& m_users;
    Logger& m_logger;
    const ServerSettings& m_settings;
    SignInProtocol m_protocol;
    const std::string m_holder; // names this connection to the store while it holds an ID
    const bool m_quiet;
    RecordAssembler m_assembler;

    std::vector<Bytes> m_sendQueue;            // not yet handed to the socket
    std::vector<Bytes> m_sending;              // the write in progress; kept until it completes
    std::vector<asio::const_buffer> m_buffers; // of m_sending
    std::size_t m_queuedBytes = 0;             // both of the above

    Clock::time_point m_signInDeadline;
    Clock::time_point m_stepStarted;                 // a sign-in step was held back or went to the worker pool
    std::optional<Clock::time_point> m_partialSince; // after sign-in: when the incomplete record began
    bool m_timerArmed = false;
    unsigned m_timerGeneration = 0;
    bool m_stepWaiting = false; // a sign-in step is held back or with the worker pool

    unsigned m_refusals = 0;
    std::uint64_t m_signInSerial = 0;
    bool m_signedIn = false;
    bool m_writing = false;
    bool m_flushPending = false;
    bool m_closeWhenFlushed = false;
    bool m_writeFailed = false; // the peer is gone; what it sent is still read, nothing more is sent
    bool m_closed = false;
    asio::ip::address m_address;
    std::string m_addressText; // the address alone, as the failure log and the guess delay key it
    std::string m_peer;

    // Kept by ChatServer.
    std::list<Connection*>::iterator m_pendingPlace; // while not signed in
    std::size_t m_memberIndex = 0;                   // once signed in: the place in the fan-out list
};

} // namespace vesmira
