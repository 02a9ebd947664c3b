#pragma once

#include "server/bus/NodeHeartbeat.h"
#include "server/bus/PresenceBook.h"
#include "server/bus/RedisEndpoint.h"
#include "server/bus/RelayBus.h"
#include "server/bus/StreamId.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

struct redisReply;

namespace vesmira {

class Logger;
class RedisLink;

struct RedisBusSettings {
    RedisEndpoint endpoint;
    // The room's stream; beside it "<key>:epoch" and "<key>:appended:<origin>".
    std::string streamKey = "vesmira:room";
    // The stream is trimmed to about this many entries (XADD MAXLEN ~).
    std::size_t maxLength = 100000;
    // Lines this server holds while Redis cannot take them; a sender whose line finds the hold full is closed.
    std::size_t holdLimit = 10000;
    // How often this server renews its heartbeat, and how long after its last the others announce its users gone.
    std::chrono::milliseconds heartbeat{1000};
    std::chrono::milliseconds heartbeatExpiry{5000};
};

// The relay shared by several servers through one Redis stream per room. Each server appends what its own
// members send, in the order it received it, and reads the stream in order, delivering every entry to its own
// members: every member of every server sees one order. Two threads of its own talk to Redis (the relay thread
// never waits for it): one appends, one reads.
//
// Outages: both threads reconnect with backoff; lines sent meanwhile are held (bounded) and appended in order
// once Redis is back. An append is one atomic script per batch that skips what it already appended, and every
// entry carries its origin and a sequence number, so a batch retried after a lost reply is neither appended
// nor delivered twice. A Redis that restarted without its data starts a new stream: each server notices from
// the stream's epoch key and reads the new one from its start.
//
// A server that falls further behind than the stream's length (paused, or too slow) finds entries it has not read
// trimmed away. It notices (XINFO STREAM, read with the entries in one transaction, numbers the first entry held;
// the server counts the entries it read), logs it once per episode, and tells the relay thread, which closes its
// users' connections: they sign in again knowing lines are missing, instead of reading on around a hole.
//
// Who is in the room is kept in Redis too (PresenceScripts.h): each server writes how many connections each ID
// has there, in the same scripts and order as its lines, and a script decides whether that makes a join or a
// leave the room hears of. A third thread beats for this server and announces the users of servers that stopped
// beating (NodeHeartbeat).
class RedisBus final : public RelayBus {
public:
    // `origin` names this server process uniquely among all that share the stream.
    RedisBus(asio::io_context& relay, RedisBusSettings settings, std::string origin, Logger& logger);
    ~RedisBus() override;

    void start(Deliver deliver, Lost lost) override;
    bool publish(const Record& record, Excluded excluded) override;
    void signedIn(const std::string& id, Excluded excluded) override;
    void signedOut(const std::string& id) override;
    void stop() override;

    // Lines taken and not yet appended; any thread.
    std::size_t held() const;

private:
    enum Side { kAppender = 1, kReader = 2 };

    struct Line {
        std::uint64_t sequence = 0;
        std::string bytes; // a record, or for a count the ID
        // A record: empty. A count of the ID's connections here: its number, after "=" when it is written again
        // after Redis lost it.
        std::string count;
        std::string excluded; // who must not get the join a count may make: Excluded as a number
    };
    using Entries = std::span<redisReply* const>;
    struct Delivery {
        Record record;
        Excluded excluded;
    };
    struct Seen {
        std::uint64_t sequence = 0;
        std::uint64_t lastMilliseconds = 0;
    };
    // Looks origins up by the reply's string_view: no string is made per entry read, only per new origin.
    struct OriginHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view origin) const { return std::hash<std::string_view>{}(origin); }
    };

    void runAppender();
    void runReader();
    bool connectAppender(RedisLink& link, std::string& scriptSha, std::string& error);
    bool append(RedisLink& link, const std::string& scriptSha, const std::vector<Line>& batch, std::string& error);
    // Where reading goes on after a (re)connect; false with `error` when Redis did not answer.
    bool position(RedisLink& link, std::string& error);
    bool read(RedisLink& link, std::string& error);
    // Waits (BLOCK) until the stream has an entry after the last one read; false when Redis did not answer.
    bool waitForEntries(RedisLink& link, std::string& error);
    // Takes the entries of an XREAD reply.
    void takeEntries(Entries entries, std::vector<Delivery>& records);
    // Entries numbered before `first` were trimmed: true (and logged once per episode) when some were unread.
    bool lostBefore(std::uint64_t first);
    void deliverBatch(const std::vector<Delivery>& deliveries, bool lost);
    // Relay thread: the ID's count to append, which no hold limit refuses: it replaces the ID's held count that no
    // batch has taken yet, if any, so the counts held are at most one per ID.
    void holdCount(const std::string& id, std::string count, Excluded excluded);
    // Relay thread: every count of this server again, after Redis lost them.
    void rewriteCounts();

    void linkDown(Side side, const std::string& error);
    void linkUp(Side side);
    // Sleeps the next backoff step, or less when stopping; false when stopping.
    bool backOff(std::chrono::milliseconds& delay);

    asio::io_context& m_relay;
    const RedisBusSettings m_settings;
    const std::string m_origin;
    const std::string m_epochKey;
    const std::string m_guardKey;
    Logger& m_logger;

    const PresenceKeys m_keys;

    // Relay thread only.
    Deliver m_deliver;
    Lost m_lost;
    std::uint64_t m_nextSequence = 0;
    PresenceBook m_book;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Line> m_held;   // taken, not yet appended; the appender's batch is at the front
    std::size_t m_batched = 0; // lines at the front of m_held in the batch being appended (maybe appended)
    bool m_positioned = false; // the reader knows where to read: appending may begin
    // ID -> the sequence of its count in m_held.
    std::unordered_map<std::string, std::uint64_t> m_heldCounts;
    bool m_stopping = false;
    int m_down = 0; // sides whose link is down
    std::chrono::steady_clock::time_point m_downSince;
    std::size_t m_heldAtOutage = 0;
    std::size_t m_takenInOutage = 0;

    // Reader thread only.
    std::optional<std::string> m_epoch;
    std::uint64_t m_positionings = 0;
    StreamId m_lastRead;
    std::uint64_t m_readNumber = 0; // of the last entry read, counting every entry ever added to the stream
    bool m_idle = true;             // the last read took all there was: the next waits for more
    bool m_lagging = false;         // the last read found unread entries trimmed
    std::unordered_map<std::string, Seen, OriginHash, std::equal_to<>> m_seen; // origin -> last sequence delivered
    std::size_t m_malformed = 0;
    std::size_t m_duplicates = 0;

    std::atomic<std::size_t> m_undelivered{0}; // records posted to the relay thread and not yet delivered
    std::unique_ptr<RedisLink> m_appendLink;
    std::unique_ptr<RedisLink> m_readLink;
    std::thread m_appender;
    std::thread m_reader;
    NodeHeartbeat m_heartbeat;
};

} // namespace vesmira
