#include "server/admin/PasswordPrompt.h"
#include "server/admin/TlsInitCommand.h"
#include "server/admin/UsersCommand.h"
#include "server/bus/RedisBus.h"
#include "server/bus/RedisGuessGate.h"
#include "server/core/ChatServer.h"
#include "server/limits/DescriptorLimit.h"
#include "server/limits/LimitCounters.h"
#include "server/log/Logger.h"
#include "server/metrics/MetricsExporter.h"
#include "server/options/ServerOptions.h"
#include "server/tls/TlsCredentials.h"
#include "server/users/OpenDirectory.h"
#include "server/users/PostgresDirectory.h"
#include "server/workers/WorkerPool.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitUsage = 2;
// Sign-in steps queued for the workers, per worker; more wait on the relay thread until there is room.
constexpr std::size_t kQueuePerWorker = 16;

std::string limitsLine(const vesmira::ServerSettings& settings, std::uint64_t openFiles,
                       const vesmira::WorkerPool& workers) {
    const auto seconds = [](std::chrono::milliseconds duration) {
        return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count()) + " s";
    };
    return "limits: max-connections " + std::to_string(settings.maxConnections) + " (open-file limit " +
           std::to_string(openFiles) + "), max-pending " + std::to_string(settings.maxPending) + ", max-per-address " +
           std::to_string(settings.maxPerAddress) + ", dialog-timeout " + seconds(settings.dialogTimeout) +
           ", sign-in-timeout " + seconds(settings.signInTimeout) + ", record-timeout " +
           seconds(settings.recordTimeout) + ", send-buffer " +
           (settings.sendBufferBytes > 0 ? std::to_string(settings.sendBufferBytes) + " bytes" : "auto") +
           ", send queue " + std::to_string(settings.maxQueuedBytes) + " bytes, line-rate " +
           (settings.lineRate > 0
                ? std::to_string(settings.lineRate) + " a second (burst " + std::to_string(settings.lineBurst) + ")"
                : std::string("unlimited")) +
           ", workers " + std::to_string(workers.threads()) + " (queue " + std::to_string(workers.queueCapacity()) +
           ")";
}

std::string countersLine(const vesmira::LimitCounters& counters) {
    std::string line = "connections refused or closed by limit:";
    for (std::size_t i = 0; i < vesmira::LimitCounters::kCount; ++i) {
        const auto limit = static_cast<vesmira::Limit>(i);
        line += std::string(i == 0 ? " " : ", ") + std::string(vesmira::LimitCounters::name(limit)) + " " +
                std::to_string(counters.value(limit));
    }
    return line;
}

// An operator's command that is not to run (help, or a command line it cannot use): its exit code.
template <typename Command> std::optional<int> answeredAlready(const Command& command, const std::string& name) {
    switch (command.action) {
    case Command::Action::ShowHelp:
        std::cout << Command::usage();
        return Command::kDone;
    case Command::Action::Fail:
        std::cerr << "vesmira-server " << name << ": " << command.error << "\nTry 'vesmira-server " << name
                  << " --help' for more information.\n";
        return Command::kUsage;
    case Command::Action::Run:
        break;
    }
    return std::nullopt;
}

// `vesmira-server users ...`: the exit code.
int runUsers(const std::vector<std::string>& args) {
    using namespace vesmira;
    const UsersCommand command = UsersCommand::parse(args, std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
    if (const std::optional<int> code = answeredAlready(command, "users")) {
        return *code;
    }
    Logger logger(LogLevel::Warn, std::cerr);
    umask(077);
    if (!isPostgresUri(command.database)) {
        const std::filesystem::path path(command.database);
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            // A mistyped --db must not leave an empty database behind that lists nothing.
            if (!command.createsAccounts()) {
                std::cerr << "vesmira-server users: there is no user database at " << command.database
                          << " (give the server's with --db)\n";
                return UsersCommand::kNotDone;
            }
            if (path.has_parent_path()) {
                std::filesystem::create_directories(path.parent_path(), ec);
            }
        }
    }
    std::string error;
    const auto users = openUserDirectory(command.database, PasswordHasher(command.hashCost), logger, error);
    if (!users) {
        std::cerr << "vesmira-server users: cannot open the user database: " << error << "\n";
        return UsersCommand::kNotDone;
    }
    return command.run(*users, PasswordPrompt::read, std::cout, std::cerr);
}

// `vesmira-server tls-init ...`: the exit code.
int runTlsInit(const std::vector<std::string>& args) {
    using namespace vesmira;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const TlsInitCommand command = TlsInitCommand::parse(args, host);
    if (const std::optional<int> code = answeredAlready(command, "tls-init")) {
        return *code;
    }
    return command.run(std::cout, std::cerr);
}

// Loads the TLS certificate and key, at start and on SIGHUP; false (logged) when they cannot be used.
bool loadTls(vesmira::TlsCredentials& tls, vesmira::Logger& logger, bool reloading) {
    using vesmira::LogLevel;
    std::string error;
    std::string warning;
    if (!tls.load(error, warning)) {
        logger.log(LogLevel::Error, {}, error + (reloading ? "; the certificate in use stays" : ""));
        return false;
    }
    if (!warning.empty()) {
        logger.log(LogLevel::Warn, {}, warning);
    }
    logger.log(LogLevel::Info, {},
               std::string(reloading ? "reloaded" : "using") + " TLS certificate " + tls.certificateFile() +
                   ", SHA-256 fingerprint " + tls.fingerprint() + ", valid until " + tls.expiry() + " UTC");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    using namespace vesmira;

    const ServerOptions options = ServerOptions::parse(std::vector<std::string>(argv + 1, argv + argc),
                                                       std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
    switch (options.action) {
    case ServerOptions::Action::ShowHelp:
        std::cout << ServerOptions::usage();
        return EXIT_SUCCESS;
    case ServerOptions::Action::ShowVersion:
        std::cout << "vesmira-server " VESMIRA_VERSION "\n";
        return EXIT_SUCCESS;
    case ServerOptions::Action::Fail:
        std::cerr << "vesmira-server: " << options.error << "\nTry 'vesmira-server --help' for more information.\n";
        return kExitUsage;
    case ServerOptions::Action::Users:
        return runUsers(options.usersArgs);
    case ServerOptions::Action::TlsInit:
        return runTlsInit(options.usersArgs);
    case ServerOptions::Action::Run:
        break;
    }

    Logger logger(options.logLevel, std::cerr);

    // The database holds password hashes: keep new files and folders private to the user.
    umask(077);
    const bool postgres = isPostgresUri(options.databasePath);
    const std::filesystem::path databasePath(postgres ? std::string() : options.databasePath);
    if (databasePath.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(databasePath.parent_path(), ec);
        if (ec) {
            logger.log(LogLevel::Error, {},
                       "cannot create " + databasePath.parent_path().string() + ": " + ec.message());
            return EXIT_FAILURE;
        }
    }
    std::string error;
    const auto users = openUserDirectory(options.databasePath, PasswordHasher(options.hashCost), logger, error);
    if (!users) {
        logger.log(LogLevel::Error, {}, "cannot open the user database: " + error);
        return EXIT_FAILURE;
    }

    const DescriptorLimit descriptors = DescriptorLimit::raise();
    if (!descriptors.warning.empty()) {
        logger.log(LogLevel::Warn, {}, descriptors.warning);
    }
    std::vector<std::string> warnings;
    const ServerSettings settings = options.settings(descriptors.soft, warnings);
    for (const std::string& warning : warnings) {
        logger.log(LogLevel::Warn, {}, warning);
    }

    asio::io_context io(1);
    // With several servers on one Redis, they slow guessing together; declared before the workers that use it.
    std::unique_ptr<RedisGuessGate> guessGate;
    if (options.relay) {
        guessGate = std::make_unique<RedisGuessGate>(*options.relay, settings.guessDelay, logger);
    }
    const unsigned threads = WorkerPool::defaultThreads();
    WorkerPool workers(io, threads, threads * kQueuePerWorker);
    std::unique_ptr<RedisBus> bus;
    if (options.relay) {
        RedisBusSettings relay;
        relay.endpoint = *options.relay;
        relay.maxLength = options.relayStreamLength;
        relay.holdLimit = options.relayHold;
        bus = std::make_unique<RedisBus>(io, relay, ChatServer::randomName(), logger);
    }
    ChatServer server(io, *users, workers, logger, settings, bus.get(), guessGate.get());
    TlsCredentials tls(options.tlsCertificate, options.tlsKey);
    if (options.tlsPort && !loadTls(tls, logger, false)) {
        return EXIT_FAILURE;
    }

    // Registered before the "listening on" line, so a supervisor may signal as soon as it has read that line. The
    // certificate is read again on SIGHUP; connections keep the one they began with.
    asio::signal_set hangup(io);
    std::function<void(const std::error_code&, int)> onHangup = [&](const std::error_code& ec, int) {
        if (ec) {
            return;
        }
        if (options.tlsPort) {
            loadTls(tls, logger, true);
        } else {
            // "systemctl reload" must not end a server that has nothing to reload.
            logger.log(LogLevel::Info, {}, "SIGHUP: nothing to reload without --tls-port");
        }
        hangup.async_wait(onHangup);
    };
    hangup.add(SIGHUP);
    hangup.async_wait(onHangup);
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code& ec, int signal) {
        if (ec) {
            return;
        }
        logger.log(LogLevel::Info, {}, std::string("shutting down on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        hangup.cancel();
        server.stop();
    });

    std::error_code addressError;
    const asio::ip::address address = asio::ip::make_address(options.listenAddress, addressError);
    if (addressError) {
        logger.log(LogLevel::Error, {}, "bad address: " + addressError.message());
        return EXIT_FAILURE;
    }
    if (!options.tlsOnly && !server.listen({address, options.port}, error)) {
        logger.log(LogLevel::Error, {}, error);
        return EXIT_FAILURE;
    }
    if (options.tlsPort && !server.listenTls({address, *options.tlsPort}, tls, error)) {
        logger.log(LogLevel::Error, {}, error);
        return EXIT_FAILURE;
    }
    std::string local;
    if (!options.tlsOnly) {
        local = ChatServer::endpointText(server.localEndpoint());
        std::cout << "listening on " << local << std::endl;
    }
    if (options.tlsPort) {
        const std::string tlsLocal = ChatServer::endpointText(server.tlsEndpoint());
        std::cout << "tls on " << tlsLocal << std::endl;
        local += (local.empty() ? "" : ", ") + tlsLocal + " (TLS)";
    }
    logger.log(LogLevel::Info, {},
               "listening on " + local + (settings.proxyProtocol ? " (behind a proxy: PROXY v2 headers)" : "") +
                   ", database " +
                   (postgres ? PostgresDirectory::redacted(options.databasePath) : options.databasePath) + ", relay " +
                   (options.relay
                        ? options.relay->text() + " (stream length about " + std::to_string(options.relayStreamLength) +
                              ", hold " + std::to_string(options.relayHold) + " lines)"
                        : std::string("in process")));
    logger.log(LogLevel::Info, {}, limitsLine(settings, descriptors.soft, workers));
    logger.log(LogLevel::Info, {},
               "registration " + std::string(SignInProtocol::registrationName(settings.registration)) +
                   "; failed authentications delay their refusal from " +
                   std::to_string(settings.guessDelay.first.count()) + " ms, doubling to at most " +
                   std::to_string(settings.guessDelay.cap.count()) + " ms" +
                   (options.relay ? ", shared with the servers on " + options.relay->text() : std::string()) +
                   "; presence " + (settings.presence ? "on: the room hears who signs in and who leaves" : "off"));

    std::unique_ptr<MetricsExporter> metrics;
    if (options.metrics) {
        metrics = MetricsExporter::start(options.metrics->host, options.metrics->port, server.stats(),
                                         server.limitCounters(), error);
        if (!metrics) {
            logger.log(LogLevel::Error, {}, "cannot serve metrics on " + options.metrics->text() + ": " + error);
            return EXIT_FAILURE;
        }
        const std::string where = MetricsAddress{options.metrics->host, metrics->port()}.text();
        std::cout << "metrics on " << where << std::endl;
        logger.log(LogLevel::Info, {}, "metrics on http://" + where + "/metrics, health check at /healthz");
    }

    try {
        io.run();
    } catch (const std::exception& e) {
        // Handlers report errors through error codes; reaching this is a bug, but it must not end in terminate().
        logger.log(LogLevel::Error, {}, std::string("fatal: ") + e.what());
        return EXIT_FAILURE;
    }
    logger.log(LogLevel::Info, {}, countersLine(server.limitCounters()));
    logger.log(LogLevel::Info, {}, "stopped");
    return EXIT_SUCCESS;
}
