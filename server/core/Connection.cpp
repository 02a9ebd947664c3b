#include "server/core/Connection.h"

#include "protocol/SignInWords.h"
#include "server/core/ChatServer.h"
#include "server/core/ServerSettings.h"
#include "server/log/LogText.h"

#include <utility>

namespace vesmira {

namespace {

// A client that exits with chat still unread in its socket makes its kernel send RST instead of FIN, right
// after the leave notice; that must still count as the end of its stream.
bool isEndOfStream(const std::error_code& ec) {
    return ec == asio::error::eof || ec == asio::error::connection_reset;
}

std::string secondsText(std::chrono::milliseconds duration) {
    const auto count = duration.count();
    return count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
}

} // namespace

Connection::Connection(std::uint64_t number, Transport transport, const asio::ip::tcp::endpoint& peer,
                       const asio::ip::address& address, ChatServer& server, WorkerPool& workers, UserDirectory& users,
                       Logger& logger, const ServerSettings& settings, bool quiet)
    : m_number(number), m_transport(std::move(transport)), m_server(server), m_logger(logger), m_settings(settings),
      m_quiet(quiet), m_address(address), m_peer(ChatServer::endpointText(peer)),
      m_send(m_transport, settings.maxQueuedBytes, *this),
      m_signIn(*this, server, workers, users, settings, server.holder(number), address.to_string(),
               m_transport.socket().get_executor()),
      m_flood(m_transport.socket().get_executor(), server.stats()), m_recordAlarm(m_transport.socket().get_executor()) {
}

void Connection::start() {
    m_started = Clock::now();
    asio::ip::tcp::socket& socket = m_transport.socket();
    std::error_code ignored;
    // Reads go into the server's one buffer as soon as data is there (readNext), never left pending.
    socket.non_blocking(true, ignored);
    // Replies and records are small, complete messages: send each at once.
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (m_settings.sendBufferBytes > 0) {
        // What a peer that stops reading can pin in the kernel; the send queue above it is bounded separately.
        socket.set_option(asio::socket_base::send_buffer_size(m_settings.sendBufferBytes), ignored);
    }
    if (!m_transport.encrypted()) {
        begin();
        return;
    }
    m_recordAlarm.set(m_started + m_settings.signInTimeout, keepAlive(), [this] {
        m_server.stats().tlsHandshake(false);
        close("no TLS handshake within " + secondsText(m_settings.signInTimeout), LogLevel::Info, Limit::SignInTimeout);
    });
    m_transport.handshake([self = shared_from_this()](const std::error_code& ec) { self->onHandshake(ec); });
}

void Connection::onHandshake(const std::error_code& ec) {
    if (m_closed) {
        return; // timed out, evicted or shut down meanwhile
    }
    m_recordAlarm.cancel();
    m_server.stats().tlsHandshake(!ec);
    if (ec) {
        // A plain client on the TLS port ends here, at its first bytes.
        close("TLS handshake failed: " + ec.message());
        return;
    }
    begin();
}

void Connection::begin() {
    log(LogLevel::Info, m_transport.encrypted() ? "connected over " + m_transport.description() : "connected");
    m_signIn.start(m_started);
    readNext();
}

void Connection::readNext() {
    if (m_closed) {
        return;
    }
    std::size_t limit = kSignInReadSize;
    std::size_t granted = 0;
    if (m_signedIn) {
        if (m_server.backpressure().holding()) {
            m_server.backpressure().wait(keepAlive(), [this] { readNext(); });
            return;
        }
        // Whole records only, as many as flood control allows and this turn shares out.
        const std::size_t allowed = m_flood.allowance();
        if (allowed == 0) {
            m_flood.waitForToken(keepAlive(), [this] { readNext(); });
            return;
        }
        granted = m_server.readTurns().grant(allowed);
        limit = granted * kRecordSize - m_assembler.pendingSize();
    }
    char* buffer = m_server.readBuffer();
    std::error_code ec;
    const std::size_t size = m_transport.readSome(asio::buffer(buffer, limit), ec);
    const std::size_t records = !ec && m_signedIn ? onRecordBytes(std::string_view(buffer, size)) : 0;
    if (m_signedIn) {
        m_server.readTurns().giveBack(granted - records);
        m_flood.spent(records);
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        waitReadable();
        return;
    }
    if (ec) {
        onReadError(ec);
        return;
    }
    if (!m_signedIn) {
        // Reading goes on once the step has its reply.
        m_signIn.handle(std::string_view(buffer, size));
        return;
    }
    // Relaying may have dropped this very connection when its own queue overflowed.
    if (m_closed) {
        return;
    }
    if (size == limit) {
        // There may be more: read it after the other connections' turn, not before.
        asio::post(m_transport.socket().get_executor(), [self = shared_from_this()] { self->readNext(); });
    } else {
        waitReadable();
    }
}

void Connection::waitReadable() {
    m_transport.waitReadable([self = shared_from_this()](const std::error_code& ec) {
        if (self->m_closed) {
            return;
        }
        if (ec) {
            self->onReadError(ec);
        } else {
            self->readNext();
        }
    });
}

void Connection::onReadError(const std::error_code& ec) {
    if (!m_signedIn) {
        close(isEndOfStream(ec) ? "closed by peer before sign-in" : "read failed: " + ec.message());
    } else if (isEndOfStream(ec)) {
        onEndOfStream();
    } else {
        close("read failed: " + ec.message());
    }
}

void Connection::signedIn(bool registering) {
    m_signedIn = true;
    m_namesItsLines = vesmira::namesItsLines(userId());
    m_flood.start(m_settings.lineRate, m_settings.lineBurst);
    m_signInSerial = m_server.onSignedIn(*this);
    log(LogLevel::Info,
        "signed in as " + LogText::fromCp932(userId()) + (registering ? " (registered)" : " (authenticated)"));
    if (!m_namesItsLines) {
        log(LogLevel::Warn, "the ID holds a colon or ends in half a character: none of its lines are relayed");
    }
    readNext();
}

void Connection::refusedTooOften() {
    // Stop reading; the connection closes once the last "ng" is out, or now if nothing can be sent.
    m_closeWhenFlushed = true;
    if (!m_send.writing()) {
        close("too many refused sign-in messages", LogLevel::Warn, Limit::Refusals);
    }
}

void Connection::timedOut(bool atDialog) {
    close(atDialog ? "not signed in within " + secondsText(m_settings.dialogTimeout) + ": no sign-in begun"
                   : "not signed in within " + secondsText(m_settings.signInTimeout) + " of beginning",
          LogLevel::Info, Limit::SignInTimeout);
}

std::size_t Connection::onRecordBytes(std::string_view bytes) {
    std::size_t records = 0;
    m_assembler.feed(bytes, [this, &records](Record& record) {
        ++records;
        relayOwn(record, false);
    });
    if (m_closed) {
        return records;
    }
    if (m_assembler.pendingSize() == 0) {
        m_partialSince.reset();
        return records;
    }
    if (records > 0 || !m_partialSince) {
        // A new incomplete record. The alarm is set at most once per time-out, not once per read.
        m_partialSince = Clock::now();
        if (!m_recordAlarm.armed()) {
            m_recordAlarm.set(*m_partialSince + m_settings.recordTimeout, keepAlive(), [this] { onRecordTimeout(); });
        }
    }
    return records;
}

void Connection::relayOwn(Record& record, bool leaving) {
    if (m_closed && !leaving) {
        return; // the rest of a read whose earlier line closed it
    }
    // An ID that cannot name its lines has no line in its own name: judged as if it had no name at all.
    const SenderCheck::Verdict verdict = SenderCheck::check(record, m_namesItsLines ? userId() : std::string_view());
    if (verdict == SenderCheck::Verdict::Relay) {
        m_server.relay(record, *this, leaving);
        return;
    }
    m_server.refusedLine(*this, verdict, leaving);
    if (!leaving && m_senderCheck.refusedTooOften(Clock::now())) {
        close("too many lines not in its own name", LogLevel::Warn, Limit::SenderName);
    }
}

void Connection::onRecordTimeout() {
    if (m_closed || !m_partialSince) {
        return;
    }
    const Clock::time_point due = *m_partialSince + m_settings.recordTimeout;
    if (Clock::now() >= due) {
        close("record left incomplete for " + secondsText(m_settings.recordTimeout), LogLevel::Info,
              Limit::RecordTimeout);
    } else {
        m_recordAlarm.set(due, keepAlive(), [this] { onRecordTimeout(); });
    }
}

void Connection::onEndOfStream() {
    // A partial record at the end is the leave notice ("<name>：退室しました。", unpadded): the others see it
    // as an ordinary record; the leaver is gone. An end on a record boundary is a plain half-close.
    if (std::optional<Record> notice = m_assembler.takeTail()) {
        relayOwn(*notice, true);
        close("left with a leave notice");
    } else {
        close("closed by peer");
    }
}

void Connection::sendQueueOverflowed() {
    close("send queue overflow: not reading", LogLevel::Warn, Limit::SendQueue, true);
}

void Connection::sendQueueBehind(bool behind) {
    if (m_signedIn) {
        m_server.backpressure().behind(behind);
    }
}

void Connection::dropStalled() {
    close("send queue stalled: not reading while the room waited", LogLevel::Warn, Limit::SendQueue, true);
}

void Connection::sendQueueDrained() {
    if (m_closeWhenFlushed) {
        close("too many refused sign-in messages", LogLevel::Warn, Limit::Refusals);
    }
}

void Connection::sendFailed(const std::error_code& ec) {
    // A client that leaves while chat is still on its way resets the connection, and the reset fails the write
    // before its last records and leave notice, which arrived just ahead of it, have been read. Nothing more can
    // be sent; the read side takes what is left and then ends the connection as usual.
    if (logs(LogLevel::Debug)) {
        log(LogLevel::Debug, "write failed: " + ec.message());
    }
    if (m_closeWhenFlushed) {
        // Reading has stopped already: nothing else would end this connection.
        close("write failed: " + ec.message());
    }
}

void Connection::close(std::string_view reason, LogLevel level, std::optional<Limit> limit, bool reset) {
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_send.stop();
    m_signIn.stop();
    m_recordAlarm.cancel();
    m_flood.stop();
    // A reset discards what the kernel still holds for the peer instead of trying to deliver it for minutes.
    m_transport.close(reset);
    if (logs(level)) {
        std::string line = "closed: " + std::string(reason);
        if (m_signedIn) {
            line += ", user " + LogText::fromCp932(userId());
        }
        if (m_flood.throttled() > Clock::duration::zero()) {
            line += ", held back by flood control for " + LogText::seconds(m_flood.throttled());
        }
        log(level, line);
    }
    m_server.onClosed(*this, limit);
    // Deferred: close() may run while the server is iterating over its connections.
    asio::post(m_transport.socket().get_executor(), [self = shared_from_this()] { self->m_server.forget(self); });
}

void Connection::log(LogLevel level, std::string_view message) {
    m_logger.log(shown(level), m_peer, message);
}

} // namespace vesmira
