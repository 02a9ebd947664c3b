#pragma once

#include <string>
#include <string_view>

namespace vesmira {

// Who is in a room shared through Redis, kept beside its stream "<room>" under these keys:
//   <room>:present           hash: ID -> how many servers hold a connection of it
//   <room>:present:<server>  hash: ID -> that server's connections of it
//   <room>:alive:<server>    the server's heartbeat: expires unless renewed
//   <room>:servers           set: servers that may hold IDs
//   <room>:reaped:<server>   set for an hour once others announced the server's users as gone
//   <room>:reaps             numbers the announcements of servers found dead
// Every change happens in one script, so that of the servers sharing the room exactly one announces each join and
// each leave.
struct PresenceKeys {
    PresenceKeys(const std::string& room, std::string_view server);

    std::string present;
    std::string own;
    std::string alive;
    std::string servers;
    std::string reaped;
    std::string reaps;
};

namespace PresenceScripts {

// A Lua function for the start of a script: ensureAlive(alive, servers, own, server, expiryMs) renews the server's
// heartbeat. It returns 1 when the server's counts are gone from Redis (a first start, a Redis that lost its data,
// or others found the server dead and announced its users gone): the server must then write all of them again,
// announcing them only when it was reaped (the room saw them leave).
extern const std::string_view kEnsureAlive;

// KEYS alive, servers, own; ARGV server, expiryMs: kEnsureAlive alone, for the heartbeat.
extern const std::string_view kBeat;

// KEYS stream, present, servers, reaps, and the dead server's alive, own and reaped; ARGV the dead server, the
// stream's length, the leave suffix. Does nothing while the server's heartbeat lives; else announces the leave of
// each of its IDs that no other server holds, forgets its counts and marks it reaped. Returns the leaves announced.
extern const std::string_view kReap;

} // namespace PresenceScripts

} // namespace vesmira
