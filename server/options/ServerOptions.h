#pragma once

#include "server/bus/RedisEndpoint.h"
#include "server/core/ServerSettings.h"
#include "server/log/Logger.h"
#include "server/users/StoreOptions.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vesmira {

// Where the metrics endpoint listens: an IPv4 or IPv6 address (without brackets) and a port, 0 for a free one.
struct MetricsAddress {
    std::string host;
    std::uint16_t port = 0;

    // HOST:PORT, an IPv6 host in brackets: as --metrics takes it.
    std::string text() const;
    bool operator==(const MetricsAddress&) const = default;
};

// The command line of vesmira-server: the options of the user store (which its users command reads too) and the
// server's own. Parsing is pure: the environment comes in as arguments.
struct ServerOptions : StoreOptions {
    enum class Action { Run, ShowHelp, ShowVersion, Fail, Users, TlsInit };

    Action action = Action::Run;
    std::string error;                  // set when action is Fail
    std::vector<std::string> usersArgs; // for Users and TlsInit: the arguments after the command's name

    std::string listenAddress = "0.0.0.0";
    std::uint16_t port = 3000;
    LogLevel logLevel = LogLevel::Info;
    std::chrono::seconds dialogTimeout{600};
    std::chrono::seconds signInTimeout{30};
    std::chrono::seconds recordTimeout{60};
    std::optional<std::size_t> maxConnections; // default: from the open-file limit
    std::optional<std::size_t> maxPending;     // default: a quarter of maxConnections
    std::size_t maxPerAddress = 32;
    int sendBufferBytes = 64 * 1024; // 0: the system's auto-tuning
    unsigned lineRate = 10;          // records a second per signed-in connection; 0: no limit
    unsigned lineBurst = 30;
    std::optional<RedisEndpoint> relay; // nullopt: the relay stays in this process
    std::size_t relayStreamLength = 100000;
    std::size_t relayHold = 10000;
    bool proxyProtocol = false;
    bool presence = true;
    SignInProtocol::Registration registration = SignInProtocol::Registration::Open;
    std::optional<MetricsAddress> metrics; // nullopt: no metrics endpoint
    std::optional<std::uint16_t> tlsPort;  // the TLS listener's port (on listenAddress); nullopt: none
    std::string tlsCertificate;
    std::string tlsKey;
    bool tlsOnly = false; // no plain listener: every client must use TLS

    // `args` excludes the program name; xdgStateHome and home are the variables' values or nullptr when unset.
    static ServerOptions parse(const std::vector<std::string>& args, const char* xdgStateHome, const char* home);
    static std::string usage();

    // The limits in force, given the open-file limit: defaults filled in, and a warning for each value given that
    // cannot hold.
    ServerSettings settings(std::uint64_t openFiles, std::vector<std::string>& warnings) const;

    bool operator==(const ServerOptions&) const = default;
};

} // namespace vesmira
