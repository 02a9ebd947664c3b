#pragma once

#include "server/core/Alarm.h"
#include "server/core/FloodControl.h"
#include "server/core/RecordAssembler.h"
#include "server/core/SendQueue.h"
#include "server/core/SenderCheck.h"
#include "server/core/SignInHandler.h"
#include "server/core/Transport.h"
#include "server/limits/LimitCounters.h"
#include "server/log/Logger.h"

#include <asio.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vesmira {

class ChatServer;

// One client: its transport (TCP, or TLS over it), read until the end of the stream. Over TLS the handshake comes
// first, on the sign-in's clock. Before sign-in, each read is one message for the
// sign-in handler; after it, the bytes are records for the room. Every failure ends this connection only.
// Lives on the relay thread.
class Connection final : public std::enable_shared_from_this<Connection>,
                         private SendQueue::Owner,
                         private SignInHandler::Client {
public:
    using Bytes = SendQueue::Bytes;
    using Clock = std::chrono::steady_clock;

    // `number` tells the server's connections apart, in the order they came. `peer` is the client's address as
    // the log shows it (from a proxy's header when there is one); `address` is what the limits count. A quiet
    // connection (a proxy's health check) logs its ordinary events at debug level.
    Connection(std::uint64_t number, Transport transport, const asio::ip::tcp::endpoint& peer,
               const asio::ip::address& address, ChatServer& server, WorkerPool& workers, UserDirectory& users,
               Logger& logger, const ServerSettings& settings, bool quiet = false);

    void start();
    // The send queue's queue() and flush(), for the room.
    bool queue(const Bytes& bytes) { return m_send.queue(bytes); }
    void flush() { m_send.flush(); }
    // Idempotent; pending sends are dropped. A close for a limit counts it; a reset (RST instead of FIN) also
    // frees at once whatever the kernel still holds for the peer.
    void close(std::string_view reason, LogLevel level = LogLevel::Info, std::optional<Limit> limit = std::nullopt,
               bool reset = false);

    std::uint64_t number() const { return m_number; }
    bool signedIn() const { return m_signedIn; }
    // Once signed in: the user's ID, and the order of sign-ins on this server.
    const std::string& userId() const { return m_signIn.userId(); }
    std::uint64_t signInSerial() const { return m_signInSerial; }
    // Once signed in: whether a line "<ID>：<text>" can only show as this user's (see namesItsLines). Accounts
    // stored before registration checked that sign in, but the room hears nothing in their name.
    bool namesItsLines() const { return m_namesItsLines; }
    bool closed() const override { return m_closed; }
    const std::string& peer() const { return m_peer; }
    const asio::ip::address& address() const { return m_address; }
    // The send queue's state, for the room's flow control: more than SendQueue::kBehindBytes waiting, and when the
    // kernel last took some of it.
    bool sendBehind() const { return m_send.behind(); }
    SendQueue::Clock::time_point sendProgressAt() const { return m_send.progressAt(); }
    // Behind, and taking nothing while the room waits: dropped as not reading.
    void dropStalled();

private:
    void onHandshake(const std::error_code& ec);
    // Greets the client and starts reading.
    void begin();
    // Reads what is there into the server's buffer and handles it, or waits until something is.
    void readNext();
    void waitReadable();
    void onReadError(const std::error_code& ec);
    // Whole records completed (and relayed) by these bytes.
    std::size_t onRecordBytes(std::string_view bytes);
    // Relays a record (or the leave notice) read from this connection if it is in the user's own name, with what
    // follows its first NUL zeroed in place.
    void relayOwn(Record& record, bool leaving);
    void onRecordTimeout();
    void onEndOfStream();
    // Whether a line at `level` is written: the lines built from parts are only built then.
    bool logs(LogLevel level) const { return m_logger.enabled(shown(level)); }
    LogLevel shown(LogLevel level) const { return m_quiet && level == LogLevel::Info ? LogLevel::Debug : level; }

    std::shared_ptr<void> keepAlive() override { return shared_from_this(); }
    void sendQueueOverflowed() override;
    void sendQueueDrained() override;
    void sendFailed(const std::error_code& ec) override;
    void sendQueueBehind(bool behind) override;
    bool send(const Bytes& bytes) override { return m_send.deliver(bytes); }
    void readNextMessage() override { readNext(); }
    void signedIn(bool registering) override;
    void refusedTooOften() override;
    void timedOut(bool atDialog) override;
    void log(LogLevel level, std::string_view message) override;

    // One read before sign-in is one message: anything longer than a sign-in message is refused.
    static constexpr std::size_t kSignInReadSize = 512;

    const std::uint64_t m_number;
    Transport m_transport;
    ChatServer& m_server;
    Logger& m_logger;
    const ServerSettings& m_settings;
    const bool m_quiet;
    asio::ip::address m_address;
    std::string m_peer;
    SendQueue m_send;
    SignInHandler m_signIn;
    RecordAssembler m_assembler;
    FloodControl m_flood;
    SenderCheck m_senderCheck;
    Alarm m_recordAlarm; // the TLS handshake's deadline; after sign-in, the time-out of an incomplete record
    std::optional<Clock::time_point> m_partialSince; // when the incomplete record began
    Clock::time_point m_started;                     // the sign-in's clock runs from here
    std::uint64_t m_signInSerial = 0;
    bool m_signedIn = false;
    bool m_namesItsLines = false;
    bool m_closeWhenFlushed = false;
    bool m_closed = false;
};

} // namespace vesmira
