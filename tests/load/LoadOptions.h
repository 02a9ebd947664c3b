#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace load {

// What to run against the server. The defaults are the documented run: about a minute on two cores.
struct LoadOptions {
    std::uint16_t port = 0;
    int serverPid = 0; // whose /proc status gives the peak RSS; 0 = not measured

    int clients = 1000; // well-behaved: sign in, chat, read everything
    int records = 30;   // chat records each of them sends
    // Records per second offered by all senders together; 0 = in rounds, each client sending its next record once
    // it has received the whole previous round from everyone.
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
    std::chrono::seconds deadline{110};    // the whole run; reaching it is a failure
    long maxRssMiB = 256;                  // the server's peak RSS must stay below this
    int serverMaxConnections = 1024;       // the server's connection limit: all of the above must fit in it

    // Parses --name=value arguments; nullopt with a message in `error` on a bad or unknown one.
    static std::optional<LoadOptions> parse(int argc, char** argv, std::string& error);
    static std::string usage();
};

} // namespace load
