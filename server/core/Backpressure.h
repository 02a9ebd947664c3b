#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace vesmira {

class Connection;

// Flow control from the room back to its senders. When most members are behind (each has more than
// SendQueue::kBehindBytes waiting beyond what its kernel took), the relay reads no sender until most have caught
// up: offered more than it can deliver, it makes senders wait in TCP, as flood control does, instead of letting every
// reader's queue overflow at once. One reader that falls behind alone is not waited for: its queue fills and it is
// dropped as before. While the relay waits, a member that is behind and has taken nothing for kStall is dropped as
// not reading, so that connections that stop reading cannot hold up the room. Relay thread only.
class Backpressure {
public:
    static constexpr std::chrono::seconds kStall{5};

    // `members` is the room's list, which outlives this.
    Backpressure(const asio::any_io_executor& executor, const std::vector<Connection*>& members);

    // A member's send queue became behind, or caught up (also when it closes).
    void behind(bool behind);
    // Members joined or left: the majority changed.
    void membersChanged() { update(); }
    bool holding() const { return m_holding; }
    // While holding: `resume` runs once the room has caught up, `alive` kept until then.
    void wait(std::shared_ptr<void> alive, std::function<void()> resume);
    void stop();

private:
    void update();
    void armSweep();
    void sweep();

    asio::steady_timer m_sweep;
    const std::vector<Connection*>& m_members;
    std::size_t m_behind = 0;
    bool m_holding = false;
    bool m_stopped = false;
    std::vector<std::pair<std::shared_ptr<void>, std::function<void()>>> m_waiting;
};

} // namespace vesmira
