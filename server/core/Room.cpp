#include "server/core/Room.h"

#include "server/core/Connection.h"
#include "server/metrics/ServerStats.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vesmira {

Room::Room(const asio::any_io_executor& executor, ServerStats& stats) : m_executor(executor), m_stats(stats) {}

void Room::join(Connection& member) {
    m_places.emplace(&member, m_members.size());
    m_members.push_back(&member);
}

void Room::leave(const Connection& member) {
    const auto place = m_places.find(&member);
    if (place == m_places.end()) {
        return;
    }
    Connection* last = m_members.back();
    m_members[place->second] = last;
    m_places[last] = place->second;
    m_members.pop_back();
    m_places.erase(&member);
}

void Room::clear() {
    m_members.clear();
    m_places.clear();
}

RelayBus::Excluded Room::excluding(const Connection& member) {
    // The connection's number, not its address: it names the connection on its way through a shared bus too, and
    // is never used again by another connection.
    return static_cast<RelayBus::Excluded>(member.number());
}

void Room::deliver(const Record& record, RelayBus::Excluded excluded) {
    const auto bytes = std::make_shared<const std::string>(record.data(), record.size());
    const bool flushPosted = !m_toFlush.empty();
    // By index: a delivery may close a connection, but the list only changes when the server forgets it, later.
    std::size_t delivered = 0;
    for (std::size_t i = 0; i < m_members.size(); ++i) {
        Connection* connection = m_members[i];
        if (excluding(*connection) == excluded || connection->closed()) {
            continue;
        }
        ++delivered;
        if (connection->queue(bytes)) {
            m_toFlush.push_back(connection);
        }
    }
    m_stats.relayed(delivered);
    // Posted handlers run after the reads that are ready in this turn.
    if (!flushPosted && !m_toFlush.empty()) {
        asio::post(m_executor, [this] { flushAll(); });
    }
}

void Room::flushAll() {
    std::vector<Connection*> connections;
    connections.swap(m_toFlush);
    for (Connection* connection : connections) {
        connection->flush();
    }
    // Keeps the list's capacity for the next turn.
    connections.clear();
    m_toFlush.swap(connections);
}

} // namespace vesmira
