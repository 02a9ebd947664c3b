#pragma once

#include <chrono>
#include <cstddef>

namespace vesmira {

// Per-connection limits; the defaults are the production values, tests shrink them.
struct ServerSettings {
    // A connection that says nothing for this long before signing in is closed.
    std::chrono::milliseconds signInTimeout = std::chrono::minutes(5);
    // Bytes waiting to be sent to one connection; a reader that falls this far behind is dropped.
    std::size_t maxQueuedBytes = std::size_t{1} << 20;
    // Connections beyond this are closed as soon as they are accepted.
    std::size_t maxConnections = 1024;
    // Refused sign-in messages one connection may send before it is closed: bounds password guessing and the
    // hashing work a single client can make the server do.
    unsigned maxRefusals = 20;
};

} // namespace vesmira
