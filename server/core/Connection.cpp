#include "server/core/Connection.h"

#include "server/core/ChatServer.h"
#include "server/metrics/ServerStats.h"
#include "server/workers/WorkerPool.h"

#include <span>
#include <utility>

namespace vesmira {

namespace {

Connection::Bytes constantBytes(std::string_view text) {
    return std::make_shared<const std::string>(text);
}

const Connection::Bytes kGreetingBytes = constantBytes(kGreeting);
const Connection::Bytes kAcceptReply = constantBytes(kAccept);
const Connection::Bytes kRefuseReply = constantBytes(kRefuse);

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

Connection::Connection(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& peer,
                       const asio::ip::address& address, ChatServer& server, WorkerPool& workers, UserDirectory& users,
                       Logger& logger, const ServerSettings& settings, bool quiet)
    : m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_holdTimer(m_socket.get_executor()),
      m_server(server), m_workers(workers), m_users(users), m_logger(logger), m_settings(settings),
      m_holder(server.newHolder()), m_quiet(quiet), m_address(address), m_addressText(address.to_string()),
      m_peer(ChatServer::endpointText(peer)) {
    m_protocol.setRegistration(settings.registration);
}

void Connection::start() {
    std::error_code ignored;
    // Reads go into the server's one buffer as soon as data is there (readNext), never left pending.
    m_socket.non_blocking(true, ignored);
    // Replies and records are small, complete messages: send each at once.
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (m_settings.sendBufferBytes > 0) {
        // What a peer that stops reading can pin in the kernel; the send queue above it is bounded separately.
        m_socket.set_option(asio::socket_base::send_buffer_size(m_settings.sendBufferBytes), ignored);
    }
    log(LogLevel::Info, "connected");
    deliver(kGreetingBytes);
    m_signInDeadline = Clock::now() + m_settings.signInTimeout;
    armTimer(m_signInDeadline);
    readNext();
}

void Connection::readNext() {
    if (m_closed) {
        return;
    }
    const std::size_t limit = m_signedIn ? kRecordReadSize : kSignInReadSize;
    char* buffer = m_server.readBuffer();
    std::error_code ec;
    const std::size_t size = m_socket.read_some(asio::buffer(buffer, limit), ec);
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
        onSignInMessage(std::string_view(buffer, size));
        return;
    }
    onRecordBytes(std::string_view(buffer, size));
    // Relaying may have dropped this very connection when its own queue overflowed.
    if (m_closed) {
        return;
    }
    if (size == limit) {
        // There may be more: read it after the other connections' turn, not before.
        asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->readNext(); });
    } else {
        waitReadable();
    }
}

void Connection::waitReadable() {
    m_socket.async_wait(asio::socket_base::wait_read, [self = shared_from_this()](const std::error_code& ec) {
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

void Connection::onSignInMessage(std::string_view message) {
    const SignInProtocol::State stepState = m_protocol.state();
    const bool registering = m_protocol.holdsId();
    const std::string heldId = registering ? m_protocol.userId() : std::string();
    SignInProtocol::Step step = m_protocol.begin(message);
    if (step.outcome) {
        if (registering && !m_protocol.holdsId()) {
            releaseId(heldId); // a password refused before the store was asked
        }
        onSignInOutcome(*step.outcome, registering, stepState);
        return;
    }
    // An authentication waits while a refusal for the same account or from the same address is held back: a
    // guesser gains nothing by reconnecting instead of waiting for its refusal.
    const SignInProtocol::Query::Kind kind = step.query->kind;
    if (kind == SignInProtocol::Query::Kind::Contains || kind == SignInProtocol::Query::Kind::CheckPassword) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point at = m_server.guessDelay().notBefore(step.query->id, m_addressText, now);
        if (at > now) {
            holdUntil(at, [this, query = std::move(*step.query), registering, stepState]() mutable {
                submitStep(std::move(query), registering, stepState);
            });
            return;
        }
    }
    submitStep(std::move(*step.query), registering, stepState);
}

void Connection::pauseSignInClock() {
    m_stepWaiting = true;
    m_stepStarted = Clock::now();
    disarmTimer();
}

void Connection::resumeSignInClock() {
    m_stepWaiting = false;
    m_signInDeadline += Clock::now() - m_stepStarted;
}

template <typename Then> void Connection::holdUntil(Clock::time_point at, Then then) {
    pauseSignInClock();
    m_holdTimer.expires_at(at);
    m_holdTimer.async_wait([self = shared_from_this(), then = std::move(then)](const std::error_code& ec) mutable {
        self->resumeSignInClock();
        if (!ec && !self->m_closed) {
            then();
        }
    });
}

void Connection::submitStep(SignInProtocol::Query query, bool registering, SignInProtocol::State stepState) {
    pauseSignInClock();
    const bool mayHold = query.mayHold();
    std::string id = query.id;
    m_workers.submit(
        [&users = m_users, query = std::move(query), holder = m_holder, &stats = m_server.stats()] {
            const Clock::time_point start = Clock::now();
            const UserDirectory::Answer answer = query.run(users, holder);
            if (query.hashes() && answer != UserDirectory::Answer::Unavailable &&
                answer != UserDirectory::Answer::Locked) {
                stats.hashed(Clock::now() - start);
            }
            return answer;
        },
        [self = shared_from_this(), registering, stepState, mayHold, id = std::move(id)](UserDirectory::Answer answer) {
            self->m_server.noteWorkQueue();
            self->resumeSignInClock();
            // An ID the store may hold for this connection is given back unless the registration
            // goes on (or is done) with it.
            const bool release = mayHold && answer != UserDirectory::Answer::No;
            if (self->m_closed) {
                if (release) {
                    self->releaseId(id);
                }
                return;
            }
            const SignInProtocol::Outcome outcome = self->m_protocol.finish(answer);
            if (release && !self->m_protocol.holdsId() && !self->m_protocol.signedIn()) {
                self->releaseId(id);
            }
            self->onSignInOutcome(outcome, registering, stepState);
        });
    m_server.noteWorkQueue();
}

void Connection::releaseId(const std::string& id) {
    if (m_server.stopping()) {
        return; // a store that keeps holds elsewhere lets them expire
    }
    m_workers.submit(
        [&users = m_users, id, holder = m_holder] {
            users.release(id, holder);
            return true;
        },
        [](bool) {});
}

void Connection::onSignInOutcome(const SignInProtocol::Outcome& outcome, bool registering,
                                 SignInProtocol::State stepState) {
    using Step = ServerStats::Step;
    std::optional<Step> step;
    switch (stepState) {
    case SignInProtocol::State::AwaitingEntryId:
        step = Step::EntryId;
        break;
    case SignInProtocol::State::AwaitingEntryPassword:
        step = Step::EntryPassword;
        break;
    case SignInProtocol::State::AwaitingJudgeUser:
        step = Step::User;
        break;
    case SignInProtocol::State::AwaitingJudgePassword:
        step = Step::Password;
        break;
    case SignInProtocol::State::AwaitingCommand:
    case SignInProtocol::State::SignedIn:
        break;
    }
    if (step) {
        m_server.stats().signInStep(*step, outcome.accepted      ? ServerStats::Result::Accepted
                                           : outcome.unavailable ? ServerStats::Result::Unavailable
                                                                 : ServerStats::Result::Refused);
    }
    if (outcome.accepted && m_protocol.signedIn() && !registering) {
        m_server.guessDelay().succeeded(m_protocol.userId());
    }
    if (!outcome.failedAuthentication) {
        reply(outcome, registering);
        return;
    }
    const Clock::time_point now = Clock::now();
    const std::chrono::milliseconds delay = m_server.guessDelay().failed(m_protocol.failedId(), m_addressText, now);
    m_server.stats().authenticationFailed();
    // One line of fixed form per failure, for fail2ban: the address first, from the socket (or the proxy's
    // header), and what the client sent only after it, escaped.
    m_logger.log(LogLevel::Warn, m_peer,
                 "authentication failed: address " + m_addressText + ", " + std::string(outcome.reason) + ", user \"" +
                     Logger::printable(m_protocol.failedId()) + "\", refusal held back " +
                     std::to_string(delay.count()) + " ms");
    holdUntil(now + delay, [this, outcome, registering] { reply(outcome, registering); });
}

void Connection::reply(const SignInProtocol::Outcome& outcome, bool registering) {
    if (!deliver(outcome.accepted ? kAcceptReply : kRefuseReply)) {
        return;
    }
    if (!outcome.accepted) {
        log(LogLevel::Info, "sign-in refused: " + std::string(outcome.reason));
        if (++m_refusals >= m_settings.maxRefusals) {
            // Stop reading; the connection closes once the last "ng" is out, or now if nothing can be sent.
            m_closeWhenFlushed = true;
            if (!m_writing) {
                close("too many refused sign-in messages", LogLevel::Warn, Limit::Refusals);
            }
            return;
        }
    } else if (m_protocol.signedIn()) {
        m_signedIn = true;
        disarmTimer();
        m_server.onSignedIn(*this);
        log(LogLevel::Info, "signed in as " + Logger::printable(m_protocol.userId()) +
                                (registering ? " (registered)" : " (authenticated)"));
        readNext();
        return;
    }
    if (!m_timerArmed) {
        armTimer(m_signInDeadline);
    }
    readNext();
}

void Connection::onRecordBytes(std::string_view bytes) {
    std::size_t records = 0;
    m_assembler.feed(bytes, [this, &records](const Record& record) {
        ++records;
        m_server.relay(record, *this);
    });
    if (m_closed) {
        return;
    }
    if (m_assembler.pendingSize() == 0) {
        m_partialSince.reset();
        return;
    }
    if (records > 0 || !m_partialSince) {
        // A new incomplete record. The timer is armed at most once per time-out, not once per read.
        m_partialSince = Clock::now();
        if (!m_timerArmed) {
            armTimer(*m_partialSince + m_settings.recordTimeout);
        }
    }
}

void Connection::onEndOfStream() {
    // A partial record at the end is the leave notice ("<name>：退室しました。", unpadded): the others see it
    // as an ordinary record; the leaver is gone. An end on a record boundary is a plain half-close.
    if (const std::optional<Record> notice = m_assembler.takeTail()) {
        m_server.relay(*notice, *this, true);
        close("left with a leave notice");
    } else {
        close("closed by peer");
    }
}

void Connection::armTimer(Clock::time_point at) {
    m_timerArmed = true;
    m_timer.expires_at(at);
    // A wait that completed just before it was cancelled or moved still runs its handler: the generation tells
    // it apart from the wait in force.
    m_timer.async_wait([self = shared_from_this(), generation = ++m_timerGeneration](const std::error_code& ec) {
        if (ec == asio::error::operation_aborted || generation != self->m_timerGeneration) {
            return;
        }
        self->m_timerArmed = false;
        self->onTimer();
    });
}

void Connection::disarmTimer() {
    m_timer.cancel();
    m_timerArmed = false;
    ++m_timerGeneration;
}

void Connection::onTimer() {
    if (m_closed) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (!m_signedIn) {
        if (m_stepWaiting) {
            return; // re-armed when the answer is back
        }
        if (now >= m_signInDeadline) {
            close("not signed in within " + secondsText(m_settings.signInTimeout), LogLevel::Info,
                  Limit::SignInTimeout);
        } else {
            armTimer(m_signInDeadline);
        }
        return;
    }
    if (!m_partialSince) {
        return;
    }
    const Clock::time_point due = *m_partialSince + m_settings.recordTimeout;
    if (now >= due) {
        close("record left incomplete for " + secondsText(m_settings.recordTimeout), LogLevel::Info,
              Limit::RecordTimeout);
    } else {
        armTimer(due);
    }
}

bool Connection::enqueue(const Bytes& bytes) {
    if (m_closed || m_writeFailed) {
        return false;
    }
    if (m_queuedBytes + bytes->size() > m_settings.maxQueuedBytes) {
        close("send queue overflow: not reading", LogLevel::Warn, Limit::SendQueue, true);
        return false;
    }
    m_queuedBytes += bytes->size();
    m_sendQueue.push_back(bytes);
    return true;
}

bool Connection::deliver(const Bytes& bytes) {
    if (!enqueue(bytes)) {
        return !m_closed;
    }
    if (!m_writing) {
        writeNext();
    }
    return true;
}

bool Connection::queue(const Bytes& bytes) {
    if (!enqueue(bytes) || m_writing || m_flushPending) {
        return false;
    }
    m_flushPending = true;
    return true;
}

void Connection::flush() {
    m_flushPending = false;
    if (!m_closed && !m_writeFailed && !m_writing && !m_sendQueue.empty()) {
        writeNext();
    }
}

void Connection::writeNext() {
    m_writing = true;
    // Everything queued goes out in one gathered write, so that each completion drains the whole queue. A
    // completion waits its turn behind the handlers relaying a burst from many senders; sending one record per
    // turn, a reader that keeps up would still fall behind by all they queue meanwhile and be dropped.
    // m_sending keeps the bytes alive until the write completes, even after close() has emptied the queue.
    m_sending.swap(m_sendQueue);
    m_buffers.clear();
    std::size_t total = 0;
    for (const Bytes& bytes : m_sending) {
        m_buffers.push_back(asio::buffer(*bytes));
        total += bytes->size();
    }
    // Most writes fit in the kernel's buffer at once: made here, they cost no trip through the event loop.
    std::error_code ec;
    std::size_t sent = m_socket.write_some(std::span<const asio::const_buffer>(m_buffers), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        ec = {};
        sent = 0;
    }
    if (ec) {
        onWriteFailed(ec);
        return;
    }
    m_queuedBytes -= sent;
    if (sent == total) {
        onWritten();
        return;
    }
    // The rest once the socket takes it.
    std::size_t done = 0;
    for (; sent >= m_buffers[done].size(); ++done) {
        sent -= m_buffers[done].size();
    }
    m_buffers[done] += sent;
    m_buffers.erase(m_buffers.begin(), m_buffers.begin() + static_cast<std::ptrdiff_t>(done));
    asio::async_write(m_socket, std::span<const asio::const_buffer>(m_buffers),
                      [self = shared_from_this()](const std::error_code& error, std::size_t written) {
                          if (self->m_closed) {
                              return;
                          }
                          if (error) {
                              self->onWriteFailed(error);
                              return;
                          }
                          self->m_queuedBytes -= written;
                          self->onWritten();
                      });
}

void Connection::onWritten() {
    m_sending.clear();
    if (!m_sendQueue.empty()) {
        writeNext();
        return;
    }
    m_writing = false;
    trimQueues();
    if (m_closeWhenFlushed) {
        close("too many refused sign-in messages", LogLevel::Warn, Limit::Refusals);
    }
}

void Connection::trimQueues() {
    // A reader that fell behind once grows its queues to thousands of entries; ten thousand idle connections
    // must not keep that much each.
    constexpr std::size_t kKeptEntries = 64;
    if (m_sending.capacity() > kKeptEntries || m_sendQueue.capacity() > kKeptEntries) {
        std::vector<Bytes>().swap(m_sending);
        std::vector<Bytes>().swap(m_sendQueue);
        std::vector<asio::const_buffer>().swap(m_buffers);
    }
}

void Connection::onWriteFailed(const std::error_code& ec) {
    // A client that leaves while chat is still on its way resets the connection, and the reset fails the write
    // before its last records and leave notice, which arrived just ahead of it, have been read. Nothing more can
    // be sent; the read side takes what is left and then ends the connection as usual.
    m_writeFailed = true;
    m_writing = false;
    m_sendQueue.clear();
    m_sending.clear();
    m_queuedBytes = 0;
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
    m_holdTimer.cancel();
    if (m_protocol.holdsId() && !m_stepWaiting) {
        releaseId(m_protocol.userId());
    }
    disarmTimer();
    std::error_code ignored;
    if (reset) {
        // Discards what the kernel still holds for the peer instead of trying to deliver it for minutes.
        m_socket.set_option(asio::socket_base::linger(true, 0), ignored);
    } else {
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    }
    m_socket.close(ignored);
    m_sendQueue.clear();
    m_queuedBytes = 0;
    if (logs(level)) {
        std::string line = "closed: " + std::string(reason);
        if (m_signedIn) {
            line += ", user " + Logger::printable(m_protocol.userId());
        }
        log(level, line);
    }
    m_server.onClosed(*this, limit);
    // Deferred: close() may run while the server is iterating over its connections.
    asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->m_server.forget(self); });
}

void Connection::log(LogLevel level, std::string_view message) {
    m_logger.log(shown(level), m_peer, message);
}

} // namespace vesmira
