#pragma once

#include "Room.h"
#include "Scenario.h"

namespace vesmira::load {

// Signed-in members that never read while a user chats: the server must drop every one of them, and until it
// does, what they cost (the server's RSS plus the host's TCP buffers) must stay within the documented bound.
class StuckRun final : public Scenario {
public:
    explicit StuckRun(const LoadOptions& options) : Scenario(options), m_room(m_io, m_server, m_failures) {}

private:
    static constexpr int kReaders = 2; // one of them sends

    asio::awaitable<void> body() override;
    void report(std::ostream& out) override;
    asio::awaitable<void> watch(SocketPtr socket);

    Room m_room;
    long m_rssBaseKiB = 0;
    long m_tcpBaseKiB = 0;
    int m_dropped = 0;
    std::size_t m_bytesMax = 0;
    bool m_chatDone = false;
};

} // namespace vesmira::load
