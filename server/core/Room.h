#pragma once

#include "protocol/Record.h"
#include "server/bus/RelayBus.h"

#include <asio.hpp>

#include <cstddef>
#include <unordered_map>
#include <vector>

namespace vesmira {

class Connection;
class ServerStats;

// This server's signed-in connections, and the fan-out of every record the bus delivers to them. Relay thread
// only.
class Room {
public:
    Room(const asio::any_io_executor& executor, ServerStats& stats);

    void join(Connection& member);
    // Does nothing for a connection that is not a member.
    void leave(const Connection& member);
    void clear();
    const std::vector<Connection*>& members() const { return m_members; }

    // Queues one record, one buffer shared by all, to every member but the excluded one. The writes start once the
    // records that other senders' reads, ready in this same turn, relay are queued too: one write per connection
    // for all of them.
    void deliver(const Record& record, RelayBus::Excluded excluded);
    // What keeps `member` from getting a record, its own leave notice.
    static RelayBus::Excluded excluding(const Connection& member);

private:
    void flushAll();

    asio::any_io_executor m_executor;
    ServerStats& m_stats;
    std::vector<Connection*> m_members;                          // the fan-out list
    std::unordered_map<const Connection*, std::size_t> m_places; // each member's index in it
    // Relayed to but not yet writing. A connection closed meanwhile stays alive until the server forgets it, in a
    // handler posted after the flush.
    std::vector<Connection*> m_toFlush;
};

} // namespace vesmira
