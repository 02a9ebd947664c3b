#pragma once

#include <asio.hpp>

#include <cstddef>

namespace vesmira {

// Shares out the records the relay reads in one turn of its event loop among the signed-in connections that have
// some ready. Records read in a turn go to every reader in one write after it, so a busy sender should bring many
// at once; but a burst from a thousand senders must still queue about one record per sender per turn to each
// reader, or readers that keep up would overflow their send queues. So a turn reads at most a bounded number of
// records beyond one from every connection that has one: kMaxTurnRecords, or a quarter of what a reader's send queue
// holds if that is less. They are split evenly among the connections that read in the turn before; a connection
// with more left reads again after everybody else's turn. Relay thread only.
class ReadTurns {
public:
    static constexpr std::size_t kMaxTurnRecords = 64;

    ReadTurns(const asio::any_io_executor& executor, std::size_t maxQueuedBytes);

    // Records one read may take now: at least one, at most `wanted`.
    std::size_t grant(std::size_t wanted);
    // What a read was granted and did not use goes back to the turn.
    void giveBack(std::size_t records) { m_left += static_cast<std::ptrdiff_t>(records); }

private:
    void endTurn();

    asio::any_io_executor m_executor;
    const std::size_t m_turnRecords;
    std::ptrdiff_t m_left;         // below zero when reads were granted their one record beyond the turn
    std::size_t m_readers = 0;     // connections that read in this turn
    std::size_t m_lastReaders = 1; // ... and in the one before
    bool m_endPosted = false;
};

} // namespace vesmira
