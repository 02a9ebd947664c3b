#include "server/Connection.h"

#include "server/ChatServer.h"

#include <utility>
#include <vector>

namespace vesmira {

namespace {

Connection::Bytes constantBytes(std::string_view text) {
    return std::make_shared<const std::string>(text);
}

const Connection::Bytes kGreeting = constantBytes("Hello");
const Connection::Bytes kAcceptReply = constantBytes(SignInProtocol::kAccept);
const Connection::Bytes kRefuseReply = constantBytes(SignInProtocol::kRefuse);

// A client that exits with chat still unread in its socket makes its kernel send RST instead of FIN, right
// after the leave notice; that must still count as the end of its stream.
bool isEndOfStream(const std::error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset;
}

} // namespace

Connection::Connection(asio::ip::tcp::socket socket, ChatServer& server, UserDirectory& users, Logger& logger,
                       const ServerSettings& settings)
    : m_socket(std::move(socket)), m_signInTimer(m_socket.get_executor()), m_server(server), m_logger(logger),
      m_settings(settings), m_protocol(users) {
    std::error_code ec;
    const asio::ip::tcp::endpoint remote = m_socket.remote_endpoint(ec);
    m_peer = ec ? std::string("unknown-peer") : ChatServer::endpointText(remote);
}

void Connection::start() {
    std::error_code ignored;
    // Replies and records are small, complete messages: send each at once.
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    log(LogLevel::Info, "connected");
    deliver(kGreeting);
    armSignInTimer();
    readSignIn();
}

void Connection::armSignInTimer() {
    // Re-arming cancels the previous wait, whose handler then sees operation_aborted.
    m_signInTimer.expires_after(m_settings.signInTimeout);
    m_signInTimer.async_wait([self = shared_from_this()](const std::error_code& ec) {
        if (!ec && !self->signedIn()) {
            self->close("idle before sign-in");
        }
    });
}

void Connection::readSignIn() {
    m_socket.async_read_some(
        asio::buffer(m_readBuffer), [self = shared_from_this()](const std::error_code& ec, std::size_t size) {
            if (self->m_closed) {
                return;
            }
            if (ec) {
                self->close(isEndOfStream(ec) ? "closed by peer before sign-in" : "read failed: " + ec.message());
                return;
            }
            self->onSignInMessage(std::string_view(self->m_readBuffer.data(), size));
        });
}

void Connection::onSignInMessage(std::string_view message) {
    const bool registering = m_protocol.state() == SignInProtocol::State::AwaitingEntryPassword;
    const SignInProtocol::Outcome outcome = m_protocol.handle(message);
    if (!deliver(outcome.accepted ? kAcceptReply : kRefuseReply)) {
        return;
    }
    if (!outcome.accepted) {
        log(LogLevel::Info, "sign-in refused: " + std::string(outcome.reason));
        if (++m_refusals >= m_settings.maxRefusals) {
            // Stop reading; the connection closes once the last "ng" is out, or now if nothing can be sent.
            m_closeWhenFlushed = true;
            if (!m_writing) {
                close("too many refused sign-in messages", LogLevel::Warn);
            }
            return;
        }
    } else if (m_protocol.signedIn()) {
        m_signInTimer.cancel();
        log(LogLevel::Info, "signed in as " + Logger::printable(m_protocol.userId()) +
                                (registering ? " (registered)" : " (authenticated)"));
        readRecords();
        return;
    }
    armSignInTimer();
    readSignIn();
}

void Connection::readRecords() {
    m_socket.async_read_some(
        asio::buffer(m_readBuffer), [self = shared_from_this()](const std::error_code& ec, std::size_t size) {
            if (self->m_closed) {
                return;
            }
            if (ec) {
                if (isEndOfStream(ec)) {
                    self->onEndOfStream();
                } else {
                    self->close("read failed: " + ec.message());
                }
                return;
            }
            self->m_assembler.feed(std::string_view(self->m_readBuffer.data(), size),
                                   [&self](const Record& record) { self->m_server.broadcast(record, nullptr); });
            // Relaying may have dropped this very connection when its own queue overflowed.
            if (!self->m_closed) {
                self->readRecords();
            }
        });
}

void Connection::onEndOfStream() {
    // A partial record at the end is the leave notice ("<name>：退室しました。", unpadded): the others see it
    // as an ordinary record; the leaver is gone. An end on a record boundary is a plain half-close.
    if (const std::optional<Record> notice = m_assembler.takeTail()) {
        m_server.broadcast(*notice, this);
        close("left with a leave notice");
    } else {
        close("closed by peer");
    }
}

bool Connection::deliver(Bytes bytes) {
    if (m_closed || m_writeFailed) {
        return true;
    }
    if (m_queuedBytes + bytes->size() > m_settings.maxQueuedBytes) {
        close("send queue overflow: not reading", LogLevel::Warn);
        return false;
    }
    m_queuedBytes += bytes->size();
    m_sendQueue.push_back(std::move(bytes));
    if (!m_writing) {
        writeNext();
    }
    return true;
}

void Connection::writeNext() {
    m_writing = true;
    // Everything queued goes out in one gathered write, so that each completion drains the whole queue. A
    // completion waits its turn behind the handlers relaying a burst from many senders; sending one record per
    // turn, a reader that keeps up would still fall behind by all they queue meanwhile and be dropped.
    // The batch keeps the bytes alive even after close() has emptied the queue.
    auto batch = std::make_shared<std::vector<Bytes>>(m_sendQueue.begin(), m_sendQueue.end());
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(batch->size());
    for (const Bytes& bytes : *batch) {
        buffers.push_back(asio::buffer(*bytes));
    }
    asio::async_write(m_socket, buffers, [self = shared_from_this(), batch](const std::error_code& ec, std::size_t) {
        if (self->m_closed) {
            return;
        }
        if (ec) {
            self->onWriteFailed(ec);
            return;
        }
        for (const Bytes& bytes : *batch) {
            self->m_queuedBytes -= bytes->size();
            self->m_sendQueue.pop_front();
        }
        if (!self->m_sendQueue.empty()) {
            self->writeNext();
            return;
        }
        self->m_writing = false;
        if (self->m_closeWhenFlushed) {
            self->close("too many refused sign-in messages", LogLevel::Warn);
        }
    });
}

void Connection::onWriteFailed(const std::error_code& ec) {
    // A client that leaves while chat is still on its way resets the connection, and the reset fails the write
    // before its last records and leave notice, which arrived just ahead of it, have been read. Nothing more can
    // be sent; the read side takes what is left and then ends the connection as usual.
    m_writeFailed = true;
    m_writing = false;
    m_sendQueue.clear();
    m_queuedBytes = 0;
    log(LogLevel::Debug, "write failed: " + ec.message());
    if (m_closeWhenFlushed) {
        // Reading has stopped already: nothing else would end this connection.
        close("write failed: " + ec.message());
    }
}

void Connection::close(std::string_view reason, LogLevel level) {
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_signInTimer.cancel();
    std::error_code ignored;
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
    m_sendQueue.clear();
    m_queuedBytes = 0;
    std::string line = "closed: " + std::string(reason);
    if (signedIn()) {
        line += ", user " + Logger::printable(m_protocol.userId());
    }
    log(level, line);
    // Deferred: close() may run while the server is iterating over its connections.
    asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->m_server.forget(self); });
}

void Connection::log(LogLevel level, std::string_view message) {
    m_logger.log(level, m_peer, message);
}

} // namespace vesmira
