#include "server/core/ReadTurns.h"

#include "protocol/Record.h"

#include <algorithm>

namespace vesmira {

ReadTurns::ReadTurns(const asio::any_io_executor& executor, std::size_t maxQueuedBytes)
    : m_executor(executor),
      m_turnRecords(std::clamp<std::size_t>(maxQueuedBytes / kRecordSize / 4, 1, kMaxTurnRecords)),
      m_left(static_cast<std::ptrdiff_t>(m_turnRecords)) {}

std::size_t ReadTurns::grant(std::size_t wanted) {
    if (!m_endPosted) {
        // Runs after the reads that are ready in this turn, as the room's flush does.
        m_endPosted = true;
        asio::post(m_executor, [this] { endTurn(); });
    }
    ++m_readers;
    const std::size_t share = std::max<std::size_t>(1, m_turnRecords / m_lastReaders);
    const auto left = static_cast<std::size_t>(std::max<std::ptrdiff_t>(m_left, 0));
    const std::size_t granted = std::max<std::size_t>(1, std::min({wanted, share, left}));
    // Taken whole, also the one record granted beyond the turn, so that giving back returns only what was taken.
    m_left -= static_cast<std::ptrdiff_t>(granted);
    return granted;
}

void ReadTurns::endTurn() {
    m_endPosted = false;
    m_lastReaders = std::max<std::size_t>(1, m_readers);
    m_readers = 0;
    m_left = static_cast<std::ptrdiff_t>(m_turnRecords);
}

} // namespace vesmira
