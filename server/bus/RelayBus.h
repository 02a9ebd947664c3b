#pragma once

#include "protocol/Record.h"

#include <cstdint>
#include <functional>
#include <string>

namespace vesmira {

// Carries the room's records between the connections that send them and the connections that receive them. In
// process, a record goes straight to this server's members; through a shared bus, every server appends what its
// own members send and delivers the one order all servers read back, its own members' lines included.
class RelayBus {
public:
    // Names the one local connection that must not get a record (a leaver, its own notice), or nobody. Opaque to
    // the bus, which only hands it back: the server that made it reads it.
    enum class Excluded : std::uintptr_t { Nobody = 0 };

    // Runs on the relay thread for each record, in the room's one order.
    using Deliver = std::function<void(const Record& record, Excluded excluded)>;
    // Runs on the relay thread when records were lost before this server could deliver them (it fell too far
    // behind a shared bus); the records after the loss follow.
    using Lost = std::function<void()>;

    virtual ~RelayBus() = default;

    // Relay thread. Deliveries begin.
    virtual void start(Deliver deliver, Lost lost) = 0;
    // Relay thread: a record one of this server's connections sent. False when the bus cannot take it (a bounded
    // hold is full): the caller closes the sender rather than lose the line without a word.
    virtual bool publish(const Record& record, Excluded excluded) = 0;
    // Relay thread: a connection of `id` signed in (`excluded` names it), or one ended. The room hears of the first
    // connection of an ID and of the end of its last one, counted over every server sharing the bus:
    // "<ID>：入室しました。" goes to everyone but `excluded`, "<ID>：退室しました。" to everyone.
    virtual void signedIn(const std::string& id, Excluded excluded) = 0;
    virtual void signedOut(const std::string& id) = 0;
    // Relay thread: no more deliveries; the bus lets go of the relay thread's io_context.
    virtual void stop() = 0;
};

} // namespace vesmira
