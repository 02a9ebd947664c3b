#pragma once

#include "Failures.h"
#include "LatencyHistogram.h"
#include "Steps.h"

#include <asio.hpp>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vesmira::load {

// Signed-in members of one room as the driver sees them. The first `senders` members send records; every member
// that reads checks every record it gets (each sender's records in that sender's order, byte for byte) and how
// long each took to arrive. Members that are "stuck" sign in and then never read.
class Room {
public:
    struct Plan {
        int senders = 1;
        int records = 100; // at most, per sender
        // Windowed: each sender keeps this many records in flight (sent, its own copy not yet back): as fast as
        // the server relays. 0: paced, one record per `interval` per sender until stop().
        int window = 0;
        Clock::duration interval = std::chrono::milliseconds(10);
    };

    // With `tls`, every member connects over TLS with that context.
    Room(asio::io_context& io, const asio::ip::tcp::endpoint& server, Failures& failures,
         asio::ssl::context* tls = nullptr);

    // Registers `count` members with the load IDs from `firstId` on, `concurrency` at a time, from `source` when
    // given. The last `stuck` of them never read, with a small receive buffer. False when any failed.
    asio::awaitable<bool> join(int count, int firstId, int concurrency, int stuck = 0,
                               std::optional<asio::ip::address> source = std::nullopt);
    // Sends by the plan and returns once every reading member has every record sent, or has failed.
    asio::awaitable<void> chat(Plan plan);
    // Paced senders stop after their current record.
    void stop() { m_stopping = true; }
    // Every member chats, paced, in the background until endChat() (at most for `longest`); endChat() stops it and
    // returns once each reading member has every record sent (or failed).
    void chatInBackground(Clock::duration interval, Clock::duration longest);
    asio::awaitable<void> endChat();
    void leave();

    std::size_t deliveries() const { return m_deliveries; }
    std::size_t sent() const;
    int members() const { return static_cast<int>(m_members.size()); }
    int complete() const { return m_complete; }
    // The latencies since the last call.
    LatencyHistogram takeLatency();
    // Stuck members, for the scenario to watch.
    std::vector<SocketPtr> stuckSockets() const;

private:
    struct Member {
        SocketPtr socket;
        std::unique_ptr<TlsStream> tls;
        std::vector<char> inbox; // over TLS: what a read decrypts, the member's own until it is consumed
        int id = 0;
        bool reading = true;
        bool finished = false;
        std::vector<int> next; // per sender: the sequence expected next
        std::string partial;   // the start of a record cut by a read
        std::size_t received = 0;
        std::string outbox; // a sender's records not yet written
        std::string writing;
    };

    asio::awaitable<void> joinWorker(int* next, int end, int firstId, int stuckFrom,
                                     std::optional<asio::ip::address> source, bool* ok);
    asio::awaitable<void> read(int index);
    asio::awaitable<void> pacedSender(int sender);
    // A member's connection ended while it read: a failure unless the room is leaving or it had everything.
    void readEnded(int index, const std::error_code& ec);
    void consume(int index, const char* data, std::size_t size, Clock::time_point now);
    void check(int index, std::string_view record, Clock::time_point now);
    void send(int sender);
    void flush(int sender);
    void finish(int index, bool complete);
    void senderDone(int sender);
    void updateTarget();

    asio::io_context& m_io;
    asio::ip::tcp::endpoint m_server;
    Failures& m_failures;
    asio::ssl::context* m_tls;
    std::vector<Member> m_members;
    Plan m_plan;
    std::vector<std::vector<std::string>> m_records; // per sender, as sent
    std::vector<std::vector<Clock::time_point>> m_sentAt;
    std::size_t m_target = SIZE_MAX; // records each reading member must get; known once every sender is done
    int m_sendersActive = 0;
    std::vector<bool> m_senderDone;
    int m_readers = 0;
    int m_finished = 0;
    int m_complete = 0;
    bool m_stopping = false;
    bool m_backgroundChatOver = false;
    bool m_leaving = false;
    std::size_t m_deliveries = 0;
    LatencyHistogram m_latency;
    asio::steady_timer m_allFinished;
    std::array<char, 64 * 1024> m_buffer{}; // shared by every reader: each read is consumed before the next wait
};

} // namespace vesmira::load
