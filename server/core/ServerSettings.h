#pragma once

#include "server/core/SignInProtocol.h"
#include "server/limits/GuessDelay.h"

#include <chrono>
#include <cstddef>

namespace vesmira {

// Per-connection limits; the defaults are the production values, tests shrink them. The server's start-up
// derives the connection counts from the descriptor limit (ServerOptions::settings).
struct ServerSettings {
    // From the greeting, or from a refused step, to the command word that begins a sign-in: a person is at the
    // sign-in dialog, choosing an ID or looking for a password. The pending budget and the per-address cap, not
    // this, keep silent connections from crowding the server out.
    std::chrono::milliseconds dialogTimeout = std::chrono::minutes(10);
    // From the command word (or any other first message) to the last reply of that sign-in: the client sends its
    // steps without waiting for anyone. Time a step spends with the server (waiting for the worker pool, hashing)
    // does not count: only the client's own time does.
    std::chrono::milliseconds signInTimeout = std::chrono::seconds(30);
    // After sign-in, a record begun must be complete within this.
    std::chrono::milliseconds recordTimeout = std::chrono::seconds(60);
    // Bytes waiting to be sent to one connection; a reader that falls this far behind is dropped.
    std::size_t maxQueuedBytes = std::size_t{1} << 20;
    // The kernel's send buffer for each connection (SO_SNDBUF; Linux reserves twice the value asked for, which
    // covers its own overhead). 0 leaves the system's auto-tuning, which grows it to several MiB per connection.
    int sendBufferBytes = 64 * 1024;
    // Flood control of each signed-in connection: records a second (0: no limit), and how many may come at once.
    // Over the rate the server stops reading the connection until the rate allows more.
    unsigned lineRate = 10;
    unsigned lineBurst = 30;
    // Connections beyond this are closed as soon as they are accepted.
    std::size_t maxConnections = 1024;
    // Connections not yet signed in; when the budget is full, a new one replaces the one that waited longest.
    std::size_t maxPending = 256;
    // Connections from one client address beyond this are closed as soon as they are accepted.
    std::size_t maxPerAddress = 32;
    // Refused sign-in messages one connection may send before it is closed: bounds password guessing and the
    // hashing work a single client can make the server do.
    unsigned maxRefusals = 20;
    // Behind a proxy (HAProxy): every connection begins with a PROXY v2 header giving the client's address, which
    // the limits and the log use; a connection without a valid one within the time-out is refused.
    bool proxyProtocol = false;
    // The server tells the room who signs in and who leaves ("<ID>：入室しました。", "<ID>：退室しました。"), for
    // every way of leaving, once per ID however many connections it has. Off: only the leave notices clients
    // send themselves are relayed, as they come.
    bool presence = true;
    SignInProtocol::Registration registration = SignInProtocol::Registration::Open;
    // How failed authentications slow the next ones.
    GuessDelay::Settings guessDelay;
    // How often the server asks the store whether its signed-in users may stay (locked or removed ones are
    // closed) and, with that, whether the store answers at all.
    std::chrono::milliseconds accountCheckInterval = std::chrono::seconds(1);
    std::chrono::milliseconds proxyHeaderTimeout = std::chrono::seconds(5);
};

} // namespace vesmira
