#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vesmira::load {

// What to run against the server: a scenario and its figures. The defaults of each scenario are its documented
// run, a minute or two on two cores.
struct LoadOptions {
    // chat:          chatting clients in rounds while hostile connections send garbage, stay silent, drip bytes
    //                or never read (the default)
    // fanout:        a big room, a few senders as fast as the server relays
    // overload:      a big room, senders offering far more than the server can relay to it
    // registrations: new users register at once, at the server's hash cost, while two users chat
    // flood:         silent connections from one address and from many, while new users sign in and two chat
    // stuck:         signed-in clients that never read, while one user chats; memory, process and kernel
    std::string scenario = "chat";

    std::uint16_t port = 0;
    int serverPid = 0; // whose /proc status gives RSS and CPU time; 0 = not measured
    // fanout: more processes whose CPU time in the chat phase is reported, as NAME:PID (the nodes of a cluster,
    // Redis, HAProxy)
    std::vector<std::pair<std::string, int>> watched;

    // chat
    int clients = 1000; // well-behaved: sign in, chat, read everything (fanout: the room's size)
    int records = 30;   // chat records each of them sends (fanout, stuck: each sender)
    // Records per second offered by all senders together; 0 = in rounds, each client sending its next record once
    // it has received the whole previous round from everyone (overload: the senders' pace).
    int rate = 0;
    int leavers = 10;       // of the clients: leave right after their last record, chat still coming to them
    int nonReaders = 6;     // sign in, then never read
    int garbageWorkers = 6; // connections that send random bytes before signing in, one after another
    int silentWorkers = 5;  // connections that never speak, one after another
    int slowWorkers = 5;    // connections that send one byte per slowInterval, one after another
    int maxGarbageConnections = 400;
    std::chrono::milliseconds slowInterval{1000};
    std::chrono::seconds signInTimeout{5}; // the server's --sign-in-timeout
    int maxRefusals = 20;                  // the server's limit of refused sign-in messages per connection
    int serverMaxConnections = 0;          // the server's connection limit, when known: all of the above must fit

    // fanout, registrations, flood, stuck
    int senders = 10;      // fanout: members that send
    bool tls = false;      // fanout: every member over TLS (the port is the server's TLS port)
    int handshakes = 2000; // fanout over TLS: handshakes alone first, to time them
    int window = 16;       // fanout: records each sender keeps in flight
    int chatters = 2;      // registrations, flood: users chatting, one line per interval each
    std::chrono::milliseconds interval{10};
    int registrations = 50;                          // registrations: at once
    int signInConcurrency = 100;                     // sign-ins at a time while a room fills
    int silentOne = 5000;                            // flood: silent connections from 127.0.0.2
    int silentSpread = 2000;                         // flood: silent connections spread over the addresses below
    int spreadAddresses = 200;                       // flood: 127.0.0.10 and up
    std::chrono::milliseconds refusedRetry{1000};    // flood: a refused silent connection tries again after this
    std::chrono::seconds floodTime{45};              // flood: longer than the server's sign-in time-out
    std::chrono::milliseconds newcomerInterval{500}; // flood: one honest new user signs in this often
    int stuck = 500;                                 // stuck: members that never read
    long boundKiB = 0; // stuck: the documented worst case per connection, process and kernel; 0 = no check

    // Targets, checked when not 0.
    double maxP99Ms = 0;
    double maxLatencyMs = 0;
    double maxSignInMs = 0;
    long maxRssMiB = 256; // the server's peak RSS must stay below this

    std::chrono::seconds deadline{110}; // the whole run; reaching it is a failure

    // Parses --name=value arguments; nullopt with a message in `error` on a bad or unknown one.
    static std::optional<LoadOptions> parse(int argc, char** argv, std::string& error);
    static std::string usage();
};

} // namespace vesmira::load
