#include "server/ServerOptions.h"

#include <arpa/inet.h>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>

namespace vesmira {

namespace {

constexpr long kMaxSignInTimeoutSeconds = 24L * 60 * 60;

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

ServerOptions failure(std::string message) {
    ServerOptions options;
    options.action = ServerOptions::Action::Fail;
    options.error = std::move(message);
    return options;
}

} // namespace

ServerOptions ServerOptions::parse(const std::vector<std::string>& args, const char* xdgStateHome, const char* home) {
    ServerOptions options;
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
        if (!arg.starts_with("--")) {
            return failure("unexpected argument '" + std::string(arg) + "'");
        }
        // Both "--name value" and "--name=value".
        std::string name(arg);
        std::string value;
        if (const auto equals = arg.find('='); equals != std::string_view::npos) {
            name = std::string(arg.substr(0, equals));
            value = std::string(arg.substr(equals + 1));
            if (name == "--help" || name == "--version") {
                return failure("option '" + name + "' takes no value");
            }
        } else if (name == "--listen" || name == "--port" || name == "--db" || name == "--log-level" ||
                   name == "--hash-cost" || name == "--sign-in-timeout") {
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
        } else if (name == "--port") {
            const auto port = parseNumber(value, 0, 65535);
            if (!port) {
                return failure("--port needs a number from 0 to 65535, not '" + value + "'");
            }
            options.port = static_cast<std::uint16_t>(*port);
        } else if (name == "--db") {
            if (value.empty()) {
                return failure("--db needs a file path");
            }
            options.databasePath = value;
        } else if (name == "--log-level") {
            const auto level = Logger::parseLevel(value);
            if (!level) {
                return failure("--log-level needs one of error, warn, info, debug, not '" + value + "'");
            }
            options.logLevel = *level;
        } else if (name == "--hash-cost") {
            const auto cost = PasswordHasher::parseCost(value);
            if (!cost) {
                return failure("--hash-cost needs interactive or min, not '" + value + "'");
            }
            options.hashCost = *cost;
        } else if (name == "--sign-in-timeout") {
            const auto seconds = parseNumber(value, 1, kMaxSignInTimeoutSeconds);
            if (!seconds) {
                return failure("--sign-in-timeout needs a number of seconds from 1 to 86400, not '" + value + "'");
            }
            options.signInTimeout = std::chrono::seconds(*seconds);
        } else {
            return failure("unknown option '" + name + "'");
        }
    }
    if (options.databasePath.empty()) {
        options.databasePath = defaultDatabasePath(xdgStateHome, home);
        if (options.databasePath.empty()) {
            return failure("neither XDG_STATE_HOME nor HOME is set: give the database path with --db");
        }
    }
    return options;
}

std::string ServerOptions::defaultDatabasePath(const char* xdgStateHome, const char* home) {
    // Relative values of XDG_STATE_HOME are invalid and must be ignored.
    if (xdgStateHome && xdgStateHome[0] == '/') {
        return std::string(xdgStateHome) + "/vesmira/users.sqlite3";
    }
    if (home && home[0] != '\0') {
        return std::string(home) + "/.local/state/vesmira/users.sqlite3";
    }
    return {};
}

std::string ServerOptions::usage() {
    return "Usage: vesmira-server [OPTION]...\n"
           "Chat server for the Vesmira client.\n"
           "\n"
           "  --listen ADDR           address to listen on (default 0.0.0.0, all IPv4 interfaces)\n"
           "  --port N                TCP port (default 3000; 0 picks a free port)\n"
           "  --db PATH               user database (default $XDG_STATE_HOME/vesmira/users.sqlite3,\n"
           "                          or ~/.local/state/vesmira/users.sqlite3)\n"
           "  --log-level LEVEL       error, warn, info or debug (default info); the log goes to stderr\n"
           "  --hash-cost COST        password hashing cost for new users: interactive (default) or min\n"
           "                          (min is for tests only)\n"
           "  --sign-in-timeout SECS  close connections idle this long before signing in (default 300)\n"
           "  --help                  show this help and exit\n"
           "  --version               show the version and exit\n"
           "\n"
           "Once listening, prints 'listening on ADDR:PORT' on stdout. SIGINT or SIGTERM stops the server.\n";
}

} // namespace vesmira
