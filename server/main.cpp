#include "server/ChatServer.h"
#include "server/Logger.h"
#include "server/ServerOptions.h"
#include "server/UserStore.h"

#include <csignal>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int kExitUsage = 2;

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
    case ServerOptions::Action::Run:
        break;
    }

    Logger logger(options.logLevel, std::cerr);

    // The database holds password hashes: keep new files and folders private to the user.
    umask(077);
    const std::filesystem::path databasePath(options.databasePath);
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
    const auto users = UserStore::open(options.databasePath, PasswordHasher(options.hashCost), logger, error);
    if (!users) {
        logger.log(LogLevel::Error, {}, "cannot open the user database: " + error);
        return EXIT_FAILURE;
    }

    asio::io_context io(1);
    ServerSettings settings;
    settings.signInTimeout = options.signInTimeout;
    ChatServer server(io, *users, logger, settings);

    // Registered before the "listening on" line, so a supervisor may signal as soon as it has read that line.
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code& ec, int signal) {
        if (ec) {
            return;
        }
        logger.log(LogLevel::Info, {}, std::string("shutting down on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        server.stop();
    });

    std::error_code addressError;
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(options.listenAddress, addressError), options.port);
    if (addressError || !server.listen(endpoint, error)) {
        logger.log(LogLevel::Error, {}, addressError ? "bad address: " + addressError.message() : error);
        return EXIT_FAILURE;
    }
    const std::string local = ChatServer::endpointText(server.localEndpoint());
    std::cout << "listening on " << local << std::endl;
    logger.log(LogLevel::Info, {}, "listening on " + local + ", database " + options.databasePath);

    try {
        io.run();
    } catch (const std::exception& e) {
        // Handlers report errors through error codes; reaching this is a bug, but it must not end in terminate().
        logger.log(LogLevel::Error, {}, std::string("fatal: ") + e.what());
        return EXIT_FAILURE;
    }
    logger.log(LogLevel::Info, {}, "stopped");
    return EXIT_SUCCESS;
}
