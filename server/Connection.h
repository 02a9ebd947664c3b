#pragma once

#include "server/Logger.h"
#include "server/RecordAssembler.h"
#include "server/ServerSettings.h"
#include "server/SignInProtocol.h"

#include <asio.hpp>

#include <array>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace vesmira {

class ChatServer;
class UserDirectory;

// One client: greeting, lock-step sign-in, then the record stream. Owns its socket and its bounded send queue;
// every failure ends this connection only.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Bytes = std::shared_ptr<const std::string>;

    Connection(asio::ip::tcp::socket socket, ChatServer& server, UserDirectory& users, Logger& logger,
               const ServerSettings& settings);

    void start();
    // Queues bytes as one write. False when the queue would overflow: the connection is then closed.
    bool deliver(Bytes bytes);
    // Idempotent; pending sends are dropped.
    void close(std::string_view reason, LogLevel level = LogLevel::Info);

    bool signedIn() const { return m_protocol.signedIn(); }
    const std::string& peer() const { return m_peer; }

private:
    void armSignInTimer();
    void readSignIn();
    void onSignInMessage(std::string_view message);
    void readRecords();
    void onEndOfStream();
    void writeNext();
    void onWriteFailed(const std::error_code& ec);
    void log(LogLevel level, std::string_view message);

    // Sign-in messages and chat bytes are both read through this; anything longer than one sign-in message is
    // refused, and the record stream never needs more than one read's worth at a time.
    static constexpr std::size_t kReadBufferSize = 512;

    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_signInTimer;
    ChatServer& m_server;
    Logger& m_logger;
    const ServerSettings& m_settings;
    SignInProtocol m_protocol;
    RecordAssembler m_assembler;
    std::array<char, kReadBufferSize> m_readBuffer{};
    std::deque<Bytes> m_sendQueue;
    std::size_t m_queuedBytes = 0;
    unsigned m_refusals = 0;
    bool m_writing = false;
    bool m_closeWhenFlushed = false;
    bool m_writeFailed = false; // the peer is gone; what it sent is still read, nothing more is sent
    bool m_closed = false;
    std::string m_peer;
};

} // namespace vesmira
