#include "LoadRun.h"

#include "ChatRecord.h"
#include "Probe.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <signal.h>
#include <sstream>
#include <string_view>

namespace vesmira::load {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kRegisterConcurrency = 50;
// Small enough that a client that never reads backs up into the server at once.
constexpr int kNonReaderReceiveBuffer = 4096;
constexpr auto kSampleInterval = std::chrono::milliseconds(200);

std::string numbered(const char* prefix, int number) {
    char id[32];
    std::snprintf(id, sizeof id, "%s%04d", prefix, number);
    return id;
}

} // namespace

LoadRun::Latch::Latch(asio::io_context& io, int count) : m_count(count), m_timer(io) {
    m_timer.expires_at(Clock::time_point::max());
}

void LoadRun::Latch::countDown() {
    if (m_count > 0 && --m_count == 0) {
        m_timer.cancel();
    }
}

asio::awaitable<void> LoadRun::Latch::wait() {
    if (m_count > 0) {
        co_await m_timer.async_wait(kNoThrow);
    }
}

LoadRun::LoadRun(LoadOptions options)
    : m_options(options), m_server(asio::ip::make_address_v4("127.0.0.1"), options.port),
      m_registeredAhead(m_io, kRegisterConcurrency), m_signedInAll(m_io, options.clients + options.nonReaders),
      m_chatOver(m_io, options.clients), m_deadline(m_io) {
    m_left.assign(static_cast<std::size_t>(options.clients), false);
    m_chatFinished.assign(static_cast<std::size_t>(options.clients), false);
    m_progress.assign(static_cast<std::size_t>(options.clients), Progress{});
    m_records.reserve(static_cast<std::size_t>(options.clients) * static_cast<std::size_t>(options.records));
    for (int sender = 0; sender < options.clients; ++sender) {
        for (int sequence = 0; sequence < options.records; ++sequence) {
            m_records.push_back(makeRecord(sender, sequence));
        }
    }
}

const std::string& LoadRun::expectedRecord(int sender, int sequence) {
    return m_records[static_cast<std::size_t>(sender) * static_cast<std::size_t>(m_options.records) +
                     static_cast<std::size_t>(sequence)];
}

bool LoadRun::run() {
    m_begin = Clock::now();
    m_rssStartKiB = statusKiB(m_options.serverPid, "VmRSS:");
    m_deadline.expires_after(m_options.deadline);
    m_deadline.async_wait([this](const std::error_code& ec) {
        if (!ec) {
            fail("the run reached its deadline of " + std::to_string(m_options.deadline.count()) + " s");
            reportWaiting();
            m_io.stop();
        }
    });
    asio::co_spawn(m_io, watchServer(), asio::detached);
    spawn(start());
    m_io.run();
    report();
    return m_failures == 0;
}

void LoadRun::spawn(asio::awaitable<void> task) {
    ++m_tasks;
    asio::co_spawn(m_io, std::move(task), [this](std::exception_ptr error) {
        if (error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                fail(std::string("internal error: ") + e.what());
            }
        }
        if (--m_tasks == 0) {
            m_allDone = true;
            m_deadline.cancel();
        }
    });
}

asio::awaitable<void> LoadRun::start() {
    // The authenticating half (odd indexes) needs accounts first: a few connections register them in turn.
    for (int first = 0; first < kRegisterConcurrency; ++first) {
        spawn(registerAhead(first, kRegisterConcurrency));
    }
    co_await m_registeredAhead.wait();

    m_signInStart = Clock::now();
    for (int worker = 0; worker < m_options.garbageWorkers; ++worker) {
        spawn(garbageWorker(worker));
    }
    for (int worker = 0; worker < m_options.silentWorkers; ++worker) {
        spawn(silentWorker());
    }
    for (int worker = 0; worker < m_options.slowWorkers; ++worker) {
        spawn(slowWorker(worker));
    }
    for (int index = 0; index < m_options.nonReaders; ++index) {
        spawn(nonReader(index));
    }
    for (int index = 0; index < m_options.clients; ++index) {
        spawn(chatClient(index));
    }
}

asio::awaitable<void> LoadRun::registerAhead(int first, int step) {
    for (int index = first; index < m_options.clients; index += step) {
        if (index % 2 == 0) {
            continue;
        }
        auto socket = std::make_shared<Socket>(m_io);
        const std::string id = userId(index);
        const std::string secret = password(index);
        bool registered = co_await greeted(socket, m_server);
        if (registered) {
            registered = co_await signIn(socket, true, id, secret);
        }
        if (!registered) {
            fail("registering " + id + " ahead failed");
            continue;
        }
        // Wait for the server's own close, so that this connection no longer counts against its limit.
        std::error_code ignored;
        socket->shutdown(Socket::shutdown_send, ignored);
        if (co_await waitForClose(socket, kStepTimeout) != Close::ByServer) {
            fail("the server kept " + userId(index) + " open after it left");
        }
    }
    m_registeredAhead.countDown();
}

asio::awaitable<void> LoadRun::chatClient(int index) {
    auto socket = std::make_shared<Socket>(m_io);
    const bool registering = index % 2 == 0;
    const std::string id = userId(index);
    const std::string secret = password(index);
    bool signedIn = co_await greeted(socket, m_server);
    if (signedIn) {
        signedIn = co_await signIn(socket, registering, id, secret);
    }
    settleSignIn(signedIn);
    if (!signedIn) {
        fail(userId(index) + (registering ? " could not register" : " could not authenticate"));
        finishChat(index, false);
        co_return;
    }
    spawn(readRecords(index, socket));
    co_await m_signedInAll.wait();

    // In rounds, only the first record goes from here; the reader sends each next one.
    const int scheduled = m_options.rate > 0 ? m_options.records : 1;
    for (int sequence = 0; sequence < scheduled; ++sequence) {
        if (m_options.rate > 0) {
            const double slot = (static_cast<double>(sequence) * m_options.clients + index) / m_options.rate;
            asio::steady_timer timer(m_io);
            timer.expires_at(m_chatStart +
                             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(slot)));
            co_await timer.async_wait(kNoThrow);
        }
        if (!co_await sendRecord(index, sequence, socket)) {
            break;
        }
    }
    co_await m_chatOver.wait();
    closeSocket(socket);
}

asio::awaitable<void> LoadRun::readRecords(int index, SocketPtr socket) {
    const int senders = m_options.clients;
    const int records = m_options.records;
    const std::size_t total = static_cast<std::size_t>(senders) * static_cast<std::size_t>(records);
    // A leaver is gone before the other leavers' notices come.
    const int noticesDue = isLeaver(index) ? 0 : m_options.leavers;
    // The sequence expected next from each sender; one past its last record once its leave notice has come.
    std::vector<int> next(static_cast<std::size_t>(senders), 0);
    // How many senders' record n has arrived: when all have, round n is complete.
    std::vector<int> roundCount(static_cast<std::size_t>(records), 0);
    std::vector<char> buffer(kReadChunk);
    std::string pending;
    std::size_t received = 0;
    int notices = 0;
    const auto done = [this, index] {
        return m_chatFinished[static_cast<std::size_t>(index)] || m_left[static_cast<std::size_t>(index)];
    };
    for (;;) {
        auto [ec, size] = co_await socket->async_read_some(asio::buffer(buffer), kNoThrow);
        if (ec) {
            if (!done()) {
                fail(userId(index) + ": connection ended after " + std::to_string(received) + " of " +
                     std::to_string(total) + " records: " + ec.message());
                finishChat(index, false);
            }
            co_return;
        }
        pending.append(buffer.data(), size);
        std::size_t offset = 0;
        for (; pending.size() - offset >= kRecordSize; offset += kRecordSize) {
            if (done()) {
                continue;
            }
            const std::string_view record(pending.data() + offset, kRecordSize);
            const std::optional<int> leaver = parseLeaveNotice(record);
            const std::optional<RecordId> id = parseRecord(record);
            if (leaver && *leaver < senders) {
                int& expected = next[static_cast<std::size_t>(*leaver)];
                if (!isLeaver(*leaver) || expected != records) {
                    fail(userId(index) + ": leave notice of " + userId(*leaver) + " after " + std::to_string(expected) +
                         " of its records");
                    finishChat(index, false);
                    continue;
                }
                expected = records + 1;
                ++notices;
                ++m_noticesChecked;
                ++m_progress[static_cast<std::size_t>(index)].notices;
            } else if (id && id->sender >= 0 && id->sender < senders && id->sequence >= 0 && id->sequence < records) {
                int& expected = next[static_cast<std::size_t>(id->sender)];
                if (id->sequence != expected || record != expectedRecord(id->sender, id->sequence)) {
                    fail(userId(index) + ": from " + userId(id->sender) + " expected record " +
                         std::to_string(expected) + ", got " +
                         (id->sequence != expected ? "record " + std::to_string(id->sequence)
                                                   : std::string("different bytes")));
                    finishChat(index, false);
                    continue;
                }
                ++expected;
                ++received;
                ++m_deliveries;
                ++m_progress[static_cast<std::size_t>(index)].records;
                const int round = id->sequence;
                if (++roundCount[static_cast<std::size_t>(round)] == senders && m_options.rate == 0 &&
                    round + 1 < records) {
                    co_await sendRecord(index, round + 1, socket);
                }
            } else if (isPresenceLine(record)) {
                ++m_presenceLines; // the server's: someone signed in, or a junk sender or non-reader left
                continue;
            } else {
                ++m_foreignRecords; // relayed from a junk sender
                continue;
            }
            if (received == total && notices == noticesDue) {
                finishChat(index, true);
            }
        }
        pending.erase(0, offset);
    }
}

asio::awaitable<bool> LoadRun::sendRecord(int index, int sequence, SocketPtr socket) {
    auto [ec, written] = co_await asio::async_write(*socket, asio::buffer(expectedRecord(index, sequence)), kNoThrow);
    if (ec) {
        fail(userId(index) + ": sending record " + std::to_string(sequence) + " failed: " + ec.message());
        co_return false;
    }
    if (sequence + 1 == m_options.records && isLeaver(index)) {
        // Leave at once, as the client does: the others' chat is still on its way, so closing with it unread
        // resets the connection right behind the notice.
        const std::string notice = leaveNotice(index);
        auto [noticeError, noticeWritten] = co_await asio::async_write(*socket, asio::buffer(notice), kNoThrow);
        if (noticeError) {
            fail(userId(index) + ": sending the leave notice failed: " + noticeError.message());
        }
        m_left[static_cast<std::size_t>(index)] = true;
        closeSocket(socket);
        finishChat(index, true);
    }
    co_return true;
}

asio::awaitable<void> LoadRun::nonReader(int index) {
    auto socket = std::make_shared<Socket>(m_io);
    std::error_code ec;
    socket->open(asio::ip::tcp::v4(), ec);
    if (!ec) {
        socket->set_option(asio::socket_base::receive_buffer_size(kNonReaderReceiveBuffer), ec);
    }
    const std::string id = numbered("mute", index);
    bool signedIn = false;
    if (!ec) {
        signedIn = co_await greeted(socket, m_server);
    }
    if (signedIn) {
        signedIn = co_await signIn(socket, true, id, "pw");
    }
    settleSignIn(signedIn);
    if (!signedIn) {
        fail(id + " could not register");
        co_return;
    }
    co_await m_chatOver.wait();
    // Only now read: what is left in the pipe, then the end of the stream if the server dropped it.
    std::size_t bytes = 0;
    if (co_await waitForClose(socket, std::chrono::seconds(15), &bytes) == Close::ByServer) {
        ++m_nonReadersDropped;
    }
    m_nonReaderBytesMax = std::max(m_nonReaderBytesMax, bytes);
    closeSocket(socket);
}

asio::awaitable<void> LoadRun::garbageWorker(int worker) {
    std::mt19937 random(static_cast<unsigned>(worker) + 1);
    do {
        if (m_garbageConnections >= m_options.maxGarbageConnections) {
            break;
        }
        const int number = m_garbageConnections++;
        auto socket = std::make_shared<Socket>(m_io);
        if (!co_await greeted(socket, m_server)) {
            co_await refusedAtLimit();
            continue;
        }
        const auto randomBytes = [&random](std::size_t size) {
            std::string bytes(size, '\0');
            for (char& c : bytes) {
                c = static_cast<char>(random() & 0xFF);
            }
            return bytes;
        };
        // Every fourth connection during the chat signs in properly and then sends random bytes as chat:
        // the others receive them as records they cannot read, and its unpadded end as a leave notice.
        if (number % 4 == 3 && m_signedInAll.open() && !m_chatOver.open()) {
            const std::string id = numbered("junk", number);
            if (!co_await signIn(socket, true, id, "pw")) {
                fail(id + " could not register");
                continue;
            }
            ++m_junkSenders;
            const std::size_t size = 2000 + random() % 20000;
            const std::string bytes = randomBytes(size);
            co_await asio::async_write(*socket, asio::buffer(bytes), kNoThrow);
            m_garbageBytes += size;
            closeSocket(socket);
            continue;
        }
        const int bursts = 1 + static_cast<int>(random() % 40);
        for (int burst = 0; burst < bursts; ++burst) {
            const std::string bytes = randomBytes(1 + random() % 1500);
            auto [ec, written] = co_await asio::async_write(*socket, asio::buffer(bytes), kNoThrow);
            m_garbageBytes += written;
            if (ec) {
                break; // closed by the server meanwhile
            }
        }
        // Fewer messages than the refusal limit end at the sign-in time-out instead.
        if (co_await waitForClose(socket, m_options.signInTimeout + std::chrono::seconds(10)) == Close::ByServer) {
            ++m_garbageClosed;
        } else {
            fail("garbage connection " + std::to_string(number) + " still open");
        }
    } while (!m_stopHostile);
}

asio::awaitable<void> LoadRun::silentWorker() {
    do {
        auto socket = std::make_shared<Socket>(m_io);
        const Clock::time_point opened = Clock::now();
        if (!co_await greeted(socket, m_server)) {
            co_await refusedAtLimit();
            continue;
        }
        const Close close = co_await waitForClose(socket, m_options.signInTimeout + std::chrono::seconds(10));
        const double seconds = secondsOf(Clock::now() - opened);
        if (close != Close::ByServer) {
            fail("silent connection still open after " + std::to_string(seconds) + " s");
            break;
        }
        if (seconds < secondsOf(m_options.signInTimeout) - 0.25) {
            fail("silent connection closed early, after " + std::to_string(seconds) + " s");
        }
        ++m_silentClosed;
        m_silentMin = std::min(m_silentMin, seconds);
        m_silentMax = std::max(m_silentMax, seconds);
    } while (!m_stopHostile);
}

asio::awaitable<void> LoadRun::slowWorker(int worker) {
    const std::string_view pattern = vesmira::kRegisterCommand;
    do {
        auto socket = std::make_shared<Socket>(m_io);
        const Clock::time_point opened = Clock::now();
        if (!co_await greeted(socket, m_server)) {
            co_await refusedAtLimit();
            continue;
        }
        // Each byte arrives on its own, so the server reads each as a whole message and refuses it.
        int refusals = 0;
        bool closed = false;
        for (int sent = 0; !closed && sent <= m_options.maxRefusals + 2; ++sent) {
            co_await sleep(m_options.slowInterval);
            const char byte = pattern[static_cast<std::size_t>(sent + worker) % pattern.size()];
            auto [ec, written] = co_await asio::async_write(*socket, asio::buffer(&byte, 1), kNoThrow);
            std::string reply;
            bool replied = false;
            if (!ec) {
                replied = co_await readExactly(socket, kRefuse.size(), reply);
            }
            if (!replied) {
                closed = true;
            } else if (reply == kRefuse) {
                ++refusals;
            } else {
                fail("slow connection: a single byte was answered '" + reply + "'");
            }
        }
        const double seconds = secondsOf(Clock::now() - opened);
        if (!closed) {
            fail("slow connection still open after " + std::to_string(refusals) + " refused bytes");
            break;
        }
        // Whichever comes first: the limit of refused messages, or the time-out of the whole sign-in.
        const bool atTimeOut = seconds >= secondsOf(m_options.signInTimeout) - 0.25;
        if (refusals != m_options.maxRefusals && !atTimeOut) {
            fail("slow connection closed after " + std::to_string(refusals) + " refused bytes and " +
                 std::to_string(seconds) + " s, before the limit of " + std::to_string(m_options.maxRefusals) +
                 " and the time-out");
        }
        m_slowRefusalsMax = std::max(m_slowRefusalsMax, refusals);
        ++m_slowClosed;
        m_slowMin = std::min(m_slowMin, seconds);
        m_slowMax = std::max(m_slowMax, seconds);
    } while (!m_stopHostile);
}

asio::awaitable<void> LoadRun::refusedAtLimit() {
    ++m_refusedAtLimit;
    // A full server closes new connections at once: pause instead of spinning on it.
    co_await sleep(std::chrono::milliseconds(100));
}

asio::awaitable<void> LoadRun::watchServer() {
    while (!m_allDone) {
        sampleServer();
        if (m_serverGone) {
            m_io.stop();
            co_return;
        }
        co_await sleep(kSampleInterval);
    }
}

void LoadRun::sampleServer() {
    if (m_options.serverPid <= 0 || m_serverGone) {
        return;
    }
    if (::kill(m_options.serverPid, 0) != 0) {
        m_serverGone = true;
        fail("the server process is gone");
        return;
    }
    m_peakKiB = std::max(m_peakKiB, statusKiB(m_options.serverPid, "VmHWM:"));
}

void LoadRun::settleSignIn(bool signedIn) {
    if (signedIn) {
        ++m_signedIn;
    }
    m_signedInAll.countDown();
    if (m_signedInAll.open()) {
        m_chatStart = Clock::now();
        m_rssAfterSignInKiB = statusKiB(m_options.serverPid, "VmRSS:");
    }
}

bool LoadRun::isLeaver(int index) const {
    return index >= m_options.clients - m_options.leavers;
}

void LoadRun::finishChat(int index, bool complete) {
    if (m_chatFinished[static_cast<std::size_t>(index)]) {
        return;
    }
    m_chatFinished[static_cast<std::size_t>(index)] = true;
    if (complete) {
        ++m_complete;
    }
    m_chatOver.countDown();
    if (m_chatOver.open()) {
        m_chatEnd = Clock::now();
        m_stopHostile = true;
        m_rssAfterChatKiB = statusKiB(m_options.serverPid, "VmRSS:");
    }
}

void LoadRun::reportWaiting() {
    int waiting = 0;
    std::string example;
    for (int index = 0; index < m_options.clients; ++index) {
        if (m_chatFinished[static_cast<std::size_t>(index)]) {
            continue;
        }
        if (waiting++ == 0) {
            const Progress& progress = m_progress[static_cast<std::size_t>(index)];
            example = userId(index) + " with " + std::to_string(progress.records) + " records and " +
                      std::to_string(progress.notices) + " leave notices";
        }
    }
    if (waiting > 0) {
        fail(std::to_string(waiting) + " chatting clients were still waiting, e.g. " + example);
    }
}

void LoadRun::fail(const std::string& message) {
    ++m_failures;
    if (m_failureLines.size() < 20) {
        m_failureLines.push_back(message);
        std::cerr << "FAIL: " << message << std::endl;
    }
}

void LoadRun::report() {
    sampleServer();
    const double mib = 1024.0 * 1024.0;
    const double chatSeconds = secondsOf(m_chatEnd - m_chatStart);
    const double deliveryBytes = static_cast<double>(m_deliveries) * kRecordSize;
    const std::size_t relayed = static_cast<std::size_t>(m_options.clients) * m_options.records;
    const std::size_t perNonReader = relayed * kRecordSize;

    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(1);
    out << "clients:              " << m_options.clients << " chatting (" << (m_options.clients + 1) / 2
        << " register, " << m_options.clients / 2 << " authenticate), " << m_options.nonReaders << " non-readers\n";
    out << "signed in:            " << m_signedIn << " of " << m_options.clients + m_options.nonReaders << " in "
        << secondsOf(m_chatStart - m_signInStart) << " s\n";
    out << "records relayed:      " << relayed << " (" << m_options.records << " per client"
        << (m_options.rate > 0 ? ", offered at " + std::to_string(m_options.rate) + "/s"
                               : " in rounds: each sends its next once it has the whole previous round")
        << ")\n";
    out << "deliveries checked:   " << m_deliveries << " in order, byte for byte; " << m_complete << " of "
        << m_options.clients << " clients got everything owed to them\n";
    out << "leave notices:        " << m_options.leavers << " clients left right after their last record; "
        << m_noticesChecked << " notices checked, each after its sender's last record; " << m_presenceLines
        << " other sign-in and leave lines seen by chatting clients\n";
    if (m_chatOver.open()) {
        out << "chat phase:           " << chatSeconds << " s, " << m_deliveries / chatSeconds
            << " records/s delivered, " << deliveryBytes / mib / chatSeconds << " MiB/s\n";
    } else {
        out << "chat phase:           did not finish\n";
    }
    out << "non-readers dropped:  " << m_nonReadersDropped << " of " << m_options.nonReaders << " (each was owed "
        << perNonReader / 1024 << " KiB; at most " << m_nonReaderBytesMax / 1024 << " KiB reached one)\n";
    out << "garbage connections:  " << m_garbageConnections << " (" << m_garbageClosed << " closed by the server, "
        << m_junkSenders << " signed in and sent junk as chat; " << m_garbageBytes / 1024 << " KiB sent; "
        << m_foreignRecords << " junk records seen by chatting clients)\n";
    out << "silent connections:   " << m_silentClosed << " closed by the server";
    if (m_silentClosed > 0) {
        out << " after " << m_silentMin << "-" << m_silentMax << " s";
    }
    out << "\n";
    out << "slow connections:     " << m_slowClosed << " closed by the server";
    if (m_slowClosed > 0) {
        out << " after at most " << m_slowRefusalsMax << " refused bytes, " << m_slowMin << "-" << m_slowMax << " s";
    }
    out << "\n";
    out << "refused at the limit: " << m_refusedAtLimit << "\n";
    if (m_options.serverPid > 0) {
        out << "server RSS:           " << m_rssStartKiB / 1024.0 << " MiB at start, " << m_rssAfterSignInKiB / 1024.0
            << " MiB signed in, " << m_rssAfterChatKiB / 1024.0 << " MiB after the chat, peak (VmHWM) "
            << m_peakKiB / 1024.0 << " MiB\n";
    }
    out << "run time:             " << secondsOf(Clock::now() - m_begin) << " s\n";
    std::cout << out.str();

    if (m_options.serverPid > 0 && m_peakKiB > m_options.maxRssMiB * 1024) {
        fail("the server's peak RSS exceeded " + std::to_string(m_options.maxRssMiB) + " MiB");
    }
    // The server queues at most 1 MiB per connection; past a few MiB owed, a client that never reads must go.
    if (m_chatOver.open() && perNonReader > 4 * 1024 * 1024 && m_nonReadersDropped != m_options.nonReaders) {
        fail("the server kept a client that never reads");
    }
    if (m_failures > 0) {
        std::cout << "FAILED: " << m_failures << " check(s)\n";
        for (const std::string& line : m_failureLines) {
            std::cout << "  " << line << "\n";
        }
    } else {
        std::cout << "all checks passed\n";
    }
}

} // namespace vesmira::load
