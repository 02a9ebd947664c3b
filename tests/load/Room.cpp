#include "Room.h"

#include "ChatRecord.h"

#include <algorithm>
#include <cstring>

namespace vesmira::load {

namespace {

// Small enough that a member that never reads backs up into the server at once.
constexpr int kStuckReceiveBuffer = 4096;
// A member's own buffer for what a TLS read decrypts. A read gives what fits and leaves the rest for the next, so 4 KiB
// is enough: ten thousand members over TLS keep 40 MiB in these, not 160.
constexpr std::size_t kTlsInboxBytes = 4096;

} // namespace

Room::Room(asio::io_context& io, const asio::ip::tcp::endpoint& server, Failures& failures, asio::ssl::context* tls)
    : m_io(io), m_server(server), m_failures(failures), m_tls(tls), m_allFinished(io) {
    m_allFinished.expires_at(Clock::time_point::max());
}

asio::awaitable<bool> Room::join(int count, int firstId, int concurrency, int stuck,
                                 std::optional<asio::ip::address> source) {
    m_members.resize(static_cast<std::size_t>(count));
    int next = 0;
    bool ok = true;
    const int workers = std::min(concurrency, count);
    int running = workers;
    asio::steady_timer done(m_io);
    done.expires_at(Clock::time_point::max());
    for (int worker = 0; worker < workers; ++worker) {
        asio::co_spawn(m_io, joinWorker(&next, count, firstId, count - stuck, source, &ok),
                       [&running, &done](std::exception_ptr) {
                           if (--running == 0) {
                               done.cancel();
                           }
                       });
    }
    if (running > 0) {
        co_await done.async_wait(kNoThrow);
    }
    co_return ok;
}

asio::awaitable<void> Room::joinWorker(int* next, int end, int firstId, int stuckFrom,
                                       std::optional<asio::ip::address> source, bool* ok) {
    while (*next < end) {
        const int index = (*next)++;
        Member& member = m_members[static_cast<std::size_t>(index)];
        member.id = firstId + index;
        member.reading = index < stuckFrom;
        member.socket = std::make_shared<Socket>(m_io);
        const int receiveBuffer = member.reading ? 0 : kStuckReceiveBuffer;
        bool signedIn = false;
        if (m_tls) {
            member.tls = std::make_unique<TlsStream>(*member.socket, *m_tls);
            member.inbox.resize(kTlsInboxBytes);
            signedIn = co_await greetedOverTls(*member.tls, member.socket, m_server, source, receiveBuffer);
            signedIn =
                signedIn && co_await signIn(*member.tls, member.socket, true, userId(member.id), password(member.id));
        } else {
            signedIn = co_await greeted(member.socket, m_server, source, receiveBuffer) &&
                       co_await signIn(member.socket, true, userId(member.id), password(member.id));
        }
        if (!signedIn) {
            m_failures.add(userId(member.id) + " could not register");
            *ok = false;
        }
    }
}

asio::awaitable<void> Room::chat(Plan plan) {
    m_plan = plan;
    const auto senders = static_cast<std::size_t>(plan.senders);
    m_records.assign(senders, {});
    m_sentAt.assign(senders, {});
    m_sendersActive = plan.senders;
    m_senderDone.assign(senders, false);
    for (std::size_t index = 0; index < m_members.size(); ++index) {
        Member& member = m_members[index];
        if (!member.reading || !member.socket->is_open()) {
            continue;
        }
        ++m_readers;
        member.next.assign(senders, 0);
        member.socket->non_blocking(true);
        asio::co_spawn(m_io, read(static_cast<int>(index)), asio::detached);
    }
    for (int sender = 0; sender < plan.senders; ++sender) {
        if (plan.window > 0) {
            for (int i = 0; i < std::min(plan.window, plan.records); ++i) {
                send(sender);
            }
            if (plan.window >= plan.records) {
                senderDone(sender);
            }
        } else {
            asio::co_spawn(m_io, pacedSender(sender), asio::detached);
        }
    }
    if (m_finished < m_readers) {
        co_await m_allFinished.async_wait(kNoThrow);
    }
}

asio::awaitable<void> Room::pacedSender(int sender) {
    asio::steady_timer timer(m_io);
    const Clock::time_point start = Clock::now();
    int sequence = 0;
    while (sequence < m_plan.records && !m_stopping) {
        // Every record that is due goes out now: on a busy thread the timer fires late, and one record a wake-up
        // would offer far less than the rate asked for.
        const auto due = static_cast<int>((Clock::now() - start) / m_plan.interval) + 1;
        for (; sequence < std::min(due, m_plan.records); ++sequence) {
            send(sender);
        }
        timer.expires_at(start + m_plan.interval * sequence);
        co_await timer.async_wait(kNoThrow);
    }
    senderDone(sender);
}

void Room::send(int sender) {
    auto& records = m_records[static_cast<std::size_t>(sender)];
    const int sequence = static_cast<int>(records.size());
    records.push_back(makeRecord(m_members[static_cast<std::size_t>(sender)].id, sequence));
    m_sentAt[static_cast<std::size_t>(sender)].push_back(Clock::now());
    m_members[static_cast<std::size_t>(sender)].outbox += records.back();
    flush(sender);
}

void Room::flush(int sender) {
    Member& member = m_members[static_cast<std::size_t>(sender)];
    if (!member.writing.empty() || member.outbox.empty()) {
        return;
    }
    member.writing.swap(member.outbox);
    const auto written = [this, sender](const std::error_code& ec, std::size_t) {
        Member& writer = m_members[static_cast<std::size_t>(sender)];
        writer.writing.clear();
        if (ec) {
            if (!m_leaving) {
                m_failures.add(userId(writer.id) + ": sending failed: " + ec.message());
            }
            return;
        }
        flush(sender);
    };
    if (member.tls) {
        asio::async_write(*member.tls, asio::buffer(member.writing), written);
    } else {
        asio::async_write(*member.socket, asio::buffer(member.writing), written);
    }
}

void Room::senderDone(int sender) {
    if (m_senderDone[static_cast<std::size_t>(sender)]) {
        return;
    }
    m_senderDone[static_cast<std::size_t>(sender)] = true;
    if (--m_sendersActive == 0) {
        updateTarget();
    }
}

void Room::updateTarget() {
    m_target = sent();
    for (std::size_t index = 0; index < m_members.size(); ++index) {
        const Member& member = m_members[index];
        if (member.reading && !member.finished && member.received >= m_target) {
            finish(static_cast<int>(index), member.received == m_target);
        }
    }
}

std::size_t Room::sent() const {
    std::size_t total = 0;
    for (const auto& records : m_records) {
        total += records.size();
    }
    return total;
}

asio::awaitable<void> Room::read(int index) {
    const SocketPtr socket = m_members[static_cast<std::size_t>(index)].socket;
    // Over TLS a read completes after the bytes are decrypted into the member's own buffer: the shared one could be
    // overwritten by another member's read before this coroutine resumes.
    while (TlsStream* tls = m_members[static_cast<std::size_t>(index)].tls.get()) {
        std::vector<char>& inbox = m_members[static_cast<std::size_t>(index)].inbox;
        auto [ec, size] = co_await tls->async_read_some(asio::buffer(inbox), kNoThrow);
        if (ec) {
            readEnded(index, ec);
            co_return;
        }
        consume(index, inbox.data(), size, Clock::now());
    }
    for (;;) {
        auto [waitError] = co_await socket->async_wait(Socket::wait_read, kNoThrow);
        for (std::error_code ec = waitError; !ec;) {
            const std::size_t size = socket->read_some(asio::buffer(m_buffer), ec);
            if (ec == asio::error::would_block) {
                ec = {};
                break;
            }
            if (!ec) {
                consume(index, m_buffer.data(), size, Clock::now());
            }
            waitError = ec;
        }
        if (waitError) {
            readEnded(index, waitError);
            co_return;
        }
    }
}

void Room::readEnded(int index, const std::error_code& ec) {
    const Member& member = m_members[static_cast<std::size_t>(index)];
    if (!m_leaving && !member.finished) {
        m_failures.add(userId(member.id) + ": connection ended after " + std::to_string(member.received) +
                       " records: " + ec.message());
        finish(index, false);
    }
}

void Room::consume(int index, const char* data, std::size_t size, Clock::time_point now) {
    std::string& partial = m_members[static_cast<std::size_t>(index)].partial;
    if (!partial.empty()) {
        const std::size_t take = std::min(size, kRecordSize - partial.size());
        partial.append(data, take);
        data += take;
        size -= take;
        if (partial.size() == kRecordSize) {
            const std::string record = std::move(partial);
            partial.clear();
            check(index, record, now);
        }
    }
    for (; size >= kRecordSize; data += kRecordSize, size -= kRecordSize) {
        check(index, std::string_view(data, kRecordSize), now);
    }
    partial.append(data, size);
}

void Room::check(int index, std::string_view record, Clock::time_point now) {
    Member& member = m_members[static_cast<std::size_t>(index)];
    if (member.finished || isPresenceLine(record)) {
        return; // who comes and goes: newcomers and stuck members dropped are no sender's lines
    }
    // Senders are the first members, whose IDs start at the first member's.
    const std::optional<RecordId> id = parseRecord(record);
    const int sender = id ? id->sender - m_members.front().id : -1;
    if (sender < 0 || sender >= m_plan.senders) {
        m_failures.add(userId(member.id) + ": a record from no sender of this room");
        finish(index, false);
        return;
    }
    const auto& records = m_records[static_cast<std::size_t>(sender)];
    int& expected = member.next[static_cast<std::size_t>(sender)];
    if (id->sequence != expected || static_cast<std::size_t>(expected) >= records.size() ||
        record != records[static_cast<std::size_t>(expected)]) {
        m_failures.add(
            userId(member.id) + ": from " + userId(id->sender) + " expected record " + std::to_string(expected) +
            ", got " +
            (id->sequence != expected ? "record " + std::to_string(id->sequence) : std::string("different bytes")));
        finish(index, false);
        return;
    }
    m_latency.add(now - m_sentAt[static_cast<std::size_t>(sender)][static_cast<std::size_t>(expected)]);
    ++expected;
    ++member.received;
    ++m_deliveries;
    if (sender == index && m_plan.window > 0) {
        // Its own record is back: the next may go.
        const std::size_t nextToSend = records.size();
        if (nextToSend < static_cast<std::size_t>(m_plan.records)) {
            send(sender);
            if (nextToSend + 1 == static_cast<std::size_t>(m_plan.records)) {
                senderDone(sender);
            }
        }
    }
    if (member.received == m_target) {
        finish(index, true);
    }
}

void Room::finish(int index, bool complete) {
    Member& member = m_members[static_cast<std::size_t>(index)];
    if (member.finished) {
        return;
    }
    member.finished = true;
    m_complete += complete ? 1 : 0;
    if (!complete && index < m_plan.senders) {
        // A windowed sender sends on as its own records come back: one that failed sends no more.
        senderDone(index);
    }
    if (++m_finished == m_readers) {
        m_allFinished.cancel();
    }
}

void Room::chatInBackground(Clock::duration interval, Clock::duration longest) {
    m_backgroundChatOver = false;
    const int records = static_cast<int>(longest / interval);
    asio::co_spawn(m_io, chat({members(), records, 0, interval}),
                   [this](std::exception_ptr) { m_backgroundChatOver = true; });
}

asio::awaitable<void> Room::endChat() {
    stop();
    while (!m_backgroundChatOver) {
        co_await sleep(std::chrono::milliseconds(10));
    }
}

void Room::leave() {
    m_leaving = true;
    for (Member& member : m_members) {
        if (member.socket) {
            closeSocket(member.socket);
        }
    }
}

LatencyHistogram Room::takeLatency() {
    LatencyHistogram taken = m_latency;
    m_latency = LatencyHistogram();
    return taken;
}

std::vector<SocketPtr> Room::stuckSockets() const {
    std::vector<SocketPtr> sockets;
    for (const Member& member : m_members) {
        if (!member.reading && member.socket) {
            sockets.push_back(member.socket);
        }
    }
    return sockets;
}

} // namespace vesmira::load
