#include "server/options/ServerOptions.h"

#include "server/limits/ConnectionLimits.h"
#include "server/limits/DescriptorLimit.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>

namespace vesmira {

namespace {

constexpr long kMaxTimeoutSeconds = 24L * 60 * 60;
constexpr long kMaxCount = 1'000'000;
constexpr long kMinSendBuffer = 4096;
constexpr long kMaxSendBuffer = 64L << 20;
constexpr long kMaxLines = 100'000'000;

const std::vector<std::string_view> kValueOptions = {
    "--listen",
    "--port",
    "--db",
    "--log-level",
    "--hash-cost",
    "--dialog-timeout",
    "--sign-in-timeout",
    "--record-timeout",
    "--send-buffer",
    "--line-rate",
    "--line-burst",
    "--max-connections",
    "--max-pending",
    "--max-per-address",
    "--relay",
    "--relay-stream-length",
    "--relay-hold",
    "--registration",
    "--metrics",
    "--presence",
    "--tls-port",
    "--tls-cert",
    "--tls-key",
};
const std::vector<std::string_view> kFlagOptions = {"--help", "--version", "--proxy-protocol", "--tls-only"};

std::optional<long> parseNumber(std::string_view text, long min, long max) {
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

bool isIpAddress(const std::string& text) {
    std::array<unsigned char, 16> buffer{};
    return inet_pton(AF_INET, text.c_str(), buffer.data()) == 1 ||
           inet_pton(AF_INET6, text.c_str(), buffer.data()) == 1;
}

// 127.0.0.1:9100 or [::1]:9100, as the metrics endpoint's web server takes it.
std::optional<MetricsAddress> parseHostPort(const std::string& text) {
    const auto colon = text.rfind(':');
    const auto port =
        colon == std::string::npos ? std::nullopt : parseNumber(std::string_view(text).substr(colon + 1), 0, 65535);
    if (!port) {
        return std::nullopt;
    }
    std::string host = text.substr(0, colon);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) {
        host = host.substr(1, host.size() - 2);
    }
    std::array<unsigned char, 16> buffer{};
    if (inet_pton(bracketed ? AF_INET6 : AF_INET, host.c_str(), buffer.data()) != 1) {
        return std::nullopt;
    }
    return MetricsAddress{std::move(host), static_cast<std::uint16_t>(*port)};
}

ServerOptions failure(std::string message) {
    ServerOptions options;
    options.action = ServerOptions::Action::Fail;
    options.error = std::move(message);
    return options;
}

} // namespace

std::string MetricsAddress::text() const {
    return (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
}

ServerOptions ServerOptions::parse(const std::vector<std::string>& args, const char* xdgStateHome, const char* home) {
    ServerOptions options;
    if (!args.empty() && (args.front() == "users" || args.front() == "tls-init")) {
        options.action = args.front() == "users" ? Action::Users : Action::TlsInit;
        options.usersArgs.assign(args.begin() + 1, args.end());
        return options;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.action = Action::ShowHelp;
            return options;
        }
        if (arg == "--version") {
            options.action = Action::ShowVersion;
            return options;
        }
        if (arg == "--proxy-protocol") {
            options.proxyProtocol = true;
            continue;
        }
        if (arg == "--tls-only") {
            options.tlsOnly = true;
            continue;
        }
        if (arg == "users") {
            return failure("'users' comes first: vesmira-server users COMMAND ... (see vesmira-server users --help)");
        }
        if (arg == "tls-init") {
            return failure("'tls-init' comes first: vesmira-server tls-init --cert FILE --key FILE ... (see "
                           "vesmira-server tls-init --help)");
        }
        if (!arg.starts_with("--")) {
            return failure("unexpected argument '" + std::string(arg) + "'");
        }
        // Both "--name value" and "--name=value".
        std::string name(arg);
        std::string value;
        if (const auto equals = arg.find('='); equals != std::string_view::npos) {
            name = std::string(arg.substr(0, equals));
            value = std::string(arg.substr(equals + 1));
            if (std::find(kFlagOptions.begin(), kFlagOptions.end(), name) != kFlagOptions.end()) {
                return failure("option '" + name + "' takes no value");
            }
        } else if (std::find(kValueOptions.begin(), kValueOptions.end(), name) != kValueOptions.end()) {
            if (i + 1 == args.size()) {
                return failure("option '" + name + "' needs a value");
            }
            value = args[++i];
        } else {
            return failure("unknown option '" + name + "'");
        }

        if (name == "--listen") {
            if (!isIpAddress(value)) {
                return failure("--listen needs an IPv4 or IPv6 address, not '" + value + "'");
            }
            options.listenAddress = value;
        } else if (name == "--port" || name == "--tls-port") {
            const auto port = parseNumber(value, 0, 65535);
            if (!port) {
                return failure(name + " needs a number from 0 to 65535, not '" + value + "'");
            }
            (name == "--port" ? options.port : options.tlsPort.emplace()) = static_cast<std::uint16_t>(*port);
        } else if (name == "--tls-cert" || name == "--tls-key") {
            if (value.empty()) {
                return failure(name + " needs a file");
            }
            (name == "--tls-cert" ? options.tlsCertificate : options.tlsKey) = value;
        } else if (StoreOptions::takes(name)) {
            std::string error;
            if (!options.set(name, value, error)) {
                return failure(error);
            }
        } else if (name == "--log-level") {
            const auto level = Logger::parseLevel(value);
            if (!level) {
                return failure("--log-level needs one of error, warn, info, debug, not '" + value + "'");
            }
            options.logLevel = *level;
        } else if (name == "--dialog-timeout" || name == "--sign-in-timeout" || name == "--record-timeout") {
            const auto seconds = parseNumber(value, 1, kMaxTimeoutSeconds);
            if (!seconds) {
                return failure(name + " needs a number of seconds from 1 to 86400, not '" + value + "'");
            }
            (name == "--dialog-timeout"    ? options.dialogTimeout
             : name == "--sign-in-timeout" ? options.signInTimeout
                                           : options.recordTimeout) = std::chrono::seconds(*seconds);
        } else if (name == "--presence") {
            if (value != "on" && value != "off") {
                return failure("--presence needs on or off, not '" + value + "'");
            }
            options.presence = value == "on";
        } else if (name == "--send-buffer") {
            const auto bytes = parseNumber(value, 0, kMaxSendBuffer);
            if (!bytes || (*bytes != 0 && *bytes < kMinSendBuffer)) {
                return failure("--send-buffer needs 0 or a number of bytes from 4096 to 67108864, not '" + value + "'");
            }
            options.sendBufferBytes = static_cast<int>(*bytes);
        } else if (name == "--line-rate" || name == "--line-burst") {
            const bool rate = name == "--line-rate";
            const auto count = parseNumber(value, rate ? 0 : 1, kMaxCount);
            if (!count) {
                return failure(name + " needs a number from " + (rate ? "0" : "1") + " to 1000000, not '" + value +
                               "'");
            }
            (rate ? options.lineRate : options.lineBurst) = static_cast<unsigned>(*count);
        } else if (name == "--max-connections" || name == "--max-pending" || name == "--max-per-address") {
            const auto count = parseNumber(value, 1, kMaxCount);
            if (!count) {
                return failure(name + " needs a number from 1 to 1000000, not '" + value + "'");
            }
            const auto size = static_cast<std::size_t>(*count);
            if (name == "--max-connections") {
                options.maxConnections = size;
            } else if (name == "--max-pending") {
                options.maxPending = size;
            } else {
                options.maxPerAddress = size;
            }
        } else if (name == "--registration") {
            const auto registration = SignInProtocol::parseRegistration(value);
            if (!registration) {
                return failure("--registration needs open, invite or closed, not '" + value + "'");
            }
            options.registration = *registration;
        } else if (name == "--metrics") {
            options.metrics = parseHostPort(value);
            if (!options.metrics) {
                return failure("--metrics needs ADDRESS:PORT (an IPv4 address, or an IPv6 one in brackets, and a "
                               "port from 0 to 65535), not '" +
                               value + "'");
            }
        } else if (name == "--relay") {
            std::string error;
            options.relay = RedisEndpoint::parse(value, error);
            if (!options.relay) {
                return failure(error);
            }
        } else if (name == "--relay-stream-length" || name == "--relay-hold") {
            const auto count = parseNumber(value, name == "--relay-hold" ? 1 : 100, kMaxLines);
            if (!count) {
                return failure(name + " needs a number from " + (name == "--relay-hold" ? "1" : "100") +
                               " to 100000000, not '" + value + "'");
            }
            (name == "--relay-hold" ? options.relayHold : options.relayStreamLength) = static_cast<std::size_t>(*count);
        } else {
            return failure("unknown option '" + name + "'");
        }
    }
    if (options.tlsPort && (options.tlsCertificate.empty() || options.tlsKey.empty())) {
        return failure("--tls-port needs --tls-cert and --tls-key (vesmira-server tls-init makes both)");
    }
    if (!options.tlsPort && (!options.tlsCertificate.empty() || !options.tlsKey.empty() || options.tlsOnly)) {
        return failure("--tls-cert, --tls-key and --tls-only need --tls-port");
    }
    if (options.tlsPort && !options.tlsOnly && *options.tlsPort == options.port && options.port != 0) {
        return failure("--tls-port and --port are both " + std::to_string(options.port) +
                       ": give the TLS listener a port of its own, or --tls-only");
    }
    if (options.maxConnections && options.maxPending && *options.maxPending > *options.maxConnections) {
        return failure("--max-pending (" + std::to_string(*options.maxPending) + ") cannot exceed --max-connections (" +
                       std::to_string(*options.maxConnections) + ")");
    }
    if (std::string error; !options.resolve(xdgStateHome, home, error)) {
        return failure(error);
    }
    return options;
}

std::string ServerOptions::usage() {
    return "Usage: vesmira-server [OPTION]...\n"
           "  or:  vesmira-server users COMMAND [ID] [OPTION]...  (accounts; see 'vesmira-server users --help')\n"
           "  or:  vesmira-server tls-init --cert FILE --key FILE [OPTION]...  (a self-signed certificate; see\n"
           "       'vesmira-server tls-init --help')\n"
           "Chat server for the Vesmira client.\n"
           "\n"
           "  --listen ADDR           address to listen on (default 0.0.0.0, all IPv4 interfaces)\n"
           "  --port N                TCP port (default 3000; 0 picks a free port)\n"
           "  --tls-port N            also serve the same chat over TLS 1.2/1.3 on this port (on --listen's\n"
           "                          address; 0 picks a free port); needs --tls-cert and --tls-key\n"
           "  --tls-cert FILE         the TLS certificate (PEM, the chain after it); SIGHUP reloads it\n"
           "  --tls-key FILE          its private key (PEM, not encrypted); SIGHUP reloads it\n"
           "  --tls-only              no plain listener: every client must use TLS on --tls-port\n"
           "  --db PATH|URI           user database: an SQLite file (default\n"
           "                          $XDG_STATE_HOME/vesmira/users.sqlite3, or "
           "~/.local/state/vesmira/users.sqlite3),\n"
           "                          or a postgresql://USER@HOST:PORT/DATABASE URI shared by several servers\n"
           "  --log-level LEVEL       error, warn, info or debug (default info); the log goes to stderr\n"
           "  --hash-cost COST        password hashing cost for new users: interactive (default) or min\n"
           "                          (min is for tests only)\n"
           "  --max-connections N     connections at once (default: what the open-file limit allows, less a\n"
           "                          reserve of 64; the soft limit is first raised to the hard one)\n"
           "  --max-pending N         of those, connections not yet signed in; when all are taken, a new\n"
           "                          connection replaces the one that has waited longest (default: a quarter\n"
           "                          of --max-connections)\n"
           "  --max-per-address N     connections from one address; more are closed at once (default 32)\n"
           "  --dialog-timeout SECS   close connections that begin no sign-in this long after the greeting or\n"
           "                          after a refused step: the user is at the sign-in dialog (default 600)\n"
           "  --sign-in-timeout SECS  close connections that have not signed in this long after they began a\n"
           "                          sign-in (default 30)\n"
           "  --record-timeout SECS   close signed-in connections that leave a chat record incomplete this\n"
           "                          long (default 60)\n"
           "  --send-buffer BYTES     kernel send buffer per connection, 4096 to 67108864, or 0 for the system's\n"
           "                          auto-tuning (default 65536; Linux reserves twice the value)\n"
           "  --line-rate N           chat lines a second one signed-in connection may send, or 0 for no limit\n"
           "                          (default 10); beyond it the server reads the connection no faster, and\n"
           "                          the client's own TCP buffers hold the rest: nothing is dropped\n"
           "  --line-burst N          lines a connection may send at once before --line-rate applies\n"
           "                          (default 30)\n"
           "  --relay URI             share the room with other servers through Redis: redis://HOST:PORT\n"
           "                          (default: none, the room is this server's alone)\n"
           "  --relay-stream-length N keep about N lines in the room's Redis stream (default 100000)\n"
           "  --relay-hold N          lines held while Redis is unreachable; a sender whose line finds the\n"
           "                          hold full is disconnected (default 10000)\n"
           "  --proxy-protocol        every connection comes through a proxy that sends a PROXY protocol v2\n"
           "                          header (HAProxy's send-proxy-v2); others are refused\n"
           "  --registration MODE     who may register: open (anyone, the default), invite (only IDs invited\n"
           "                          with 'vesmira-server users invite') or closed (nobody)\n"
           "  --presence on|off       tell the room who signs in and who leaves, whatever way they leave\n"
           "                          (default on; off: only the leave notices clients send themselves)\n"
           "  --metrics ADDR:PORT     serve Prometheus metrics at /metrics and a health check at /healthz\n"
           "                          over HTTP on this address (default: off; [::1]:PORT for IPv6)\n"
           "  --help                  show this help and exit\n"
           "  --version               show the version and exit\n"
           "\n"
           "Once listening, prints 'listening on ADDR:PORT' on stdout for the plain listener, 'tls on ADDR:PORT'\n"
           "for the TLS one and 'metrics on ADDR:PORT' with --metrics. SIGINT or SIGTERM stops the server;\n"
           "SIGHUP reloads the TLS certificate and key, and connections already open keep theirs.\n";
}

ServerSettings ServerOptions::settings(std::uint64_t openFiles, std::vector<std::string>& warnings) const {
    ServerSettings settings;
    settings.dialogTimeout = dialogTimeout;
    settings.signInTimeout = signInTimeout;
    settings.presence = presence;
    settings.recordTimeout = recordTimeout;
    settings.sendBufferBytes = sendBufferBytes;
    settings.lineRate = lineRate;
    settings.lineBurst = lineBurst;
    settings.maxPerAddress = maxPerAddress;
    settings.proxyProtocol = proxyProtocol;
    settings.registration = registration;
    const std::size_t fit = DescriptorLimit::connectionsFor(openFiles);
    settings.maxConnections = maxConnections.value_or(fit);
    if (settings.maxConnections > fit) {
        warnings.push_back("--max-connections " + std::to_string(settings.maxConnections) +
                           " is more than the open-file limit of " + std::to_string(openFiles) + " allows (" +
                           std::to_string(fit) + "): connections beyond that fail to be accepted");
    }
    settings.maxPending = maxPending.value_or(ConnectionLimits::defaultMaxPending(settings.maxConnections));
    if (settings.maxPending > settings.maxConnections) {
        warnings.push_back("--max-pending " + std::to_string(settings.maxPending) + " lowered to " +
                           std::to_string(settings.maxConnections) + ", the connection limit");
        settings.maxPending = settings.maxConnections;
    }
    return settings;
}

} // namespace vesmira
