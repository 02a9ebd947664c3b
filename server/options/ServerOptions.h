#pragma once

#include "server/core/ServerSettings.h"
#include "server/log/Logger.h"
#include "server/bus/RedisEndpoint.h"
#include "server/users/PasswordHasher.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesmira {

// The command line of vesmira-server. Parsing is pure: the environment comes in as arguments.
struct ServerOptions {
    enum class Action { Run, ShowHelp, ShowVersion, Fail, Users };

    Action action = Action::Run;
    std::string error;                  // set when action is Fail
    std::vector<std::string> usersArgs; // for Users: the arguments after "users"

    std::string listenAddress = "0.0.0.0";
    std::uint16_t port = 3000;
    std::string databasePath; // an SQLite file, or a postgresql:// URI
    LogLevel logLevel = LogLevel::Info;
    PasswordHasher::Cost hashCost = PasswordHasher::Cost::Interactive;
    std::chrono::seconds signInTimeout{30};
    std::chrono::seconds recordTimeout{60};
    std::optional<std::size_t> maxConnections; // default: from the open-file limit
    std::optional<std::size_t> maxPending;     // default: a quarter of maxConnections
    std::size_t maxPerAddress = 32;
    int sendBufferBytes = 64 * 1024;    // 0: the system's auto-tuning
    std::optional<RedisEndpoint> relay; // nullopt: the relay stays in this process
    std::size_t relayStreamLength = 100000;
    std::size_t relayHold = 10000;
    bool proxyProtocol = false;
    SignInProtocol::Registration registration = SignInProtocol::Registration::Open;
    std::optional<std::string> metrics; // HOST:PORT of the metrics endpoint; nullopt: none

    // `args` excludes the program name; xdgStateHome and home are the variables' values or nullptr when unset.
    static ServerOptions parse(const std::vector<std::string>& args, const char* xdgStateHome, const char* home);
    // $XDG_STATE_HOME/vesmira/users.sqlite3, else ~/.local/state/vesmira/users.sqlite3; empty when neither is known.
    static std::string defaultDatabasePath(const char* xdgStateHome, const char* home);
    static std::string usage();

    // The limits in force, given the open-file limit: defaults filled in, and a warning for each value given that
    // cannot hold.
    ServerSettings settings(std::uint64_t openFiles, std::vector<std::string>& warnings) const;

    bool operator==(const ServerOptions&) const = default;
};

} // namespace vesmira
