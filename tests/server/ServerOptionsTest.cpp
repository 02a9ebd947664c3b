#include "server/Logger.h"
#include "server/ServerOptions.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace vesmira {
namespace {

using Action = ServerOptions::Action;

TEST(ServerOptions, Defaults) {
    const ServerOptions options = ServerOptions::parse({}, nullptr, "/home/u");
    EXPECT_EQ(options.action, Action::Run);
    EXPECT_EQ(options.listenAddress, "0.0.0.0");
    EXPECT_EQ(options.port, 3000);
    EXPECT_EQ(options.databasePath, "/home/u/.local/state/vesmira/users.sqlite3");
    EXPECT_EQ(options.logLevel, LogLevel::Info);
    EXPECT_EQ(options.hashCost, PasswordHasher::Cost::Interactive);
    EXPECT_EQ(options.signInTimeout, std::chrono::seconds(300));
}

TEST(ServerOptions, ValuesInBothForms) {
    const ServerOptions options =
        ServerOptions::parse({"--listen", "127.0.0.1", "--port=0", "--db", "/tmp/u.db", "--log-level=debug",
                              "--hash-cost", "min", "--sign-in-timeout=7"},
                             nullptr, nullptr);
    ASSERT_EQ(options.action, Action::Run) << options.error;
    EXPECT_EQ(options.listenAddress, "127.0.0.1");
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.databasePath, "/tmp/u.db");
    EXPECT_EQ(options.logLevel, LogLevel::Debug);
    EXPECT_EQ(options.hashCost, PasswordHasher::Cost::Minimum);
    EXPECT_EQ(options.signInTimeout, std::chrono::seconds(7));
    EXPECT_EQ(ServerOptions::parse({"--listen=::1", "--port", "65535"}, nullptr, "/h").port, 65535);
}

struct Rejected {
    std::vector<std::string> args;
    std::string errorMentions;
};

TEST(ServerOptions, RejectsBadInput) {
    const std::vector<Rejected> cases = {
        {{"--bogus"}, "--bogus"},
        {{"--port"}, "needs a value"},
        {{"--port", "65536"}, "0 to 65535"},
        {{"--port", "-1"}, "0 to 65535"},
        {{"--port", "30x"}, "0 to 65535"},
        {{"--port="}, "0 to 65535"},
        {{"--listen", "localhost"}, "address"},
        {{"--listen=300.1.1.1"}, "address"},
        {{"--log-level", "verbose"}, "verbose"},
        {{"--hash-cost", "high"}, "high"},
        {{"--sign-in-timeout", "0"}, "seconds"},
        {{"--db="}, "--db"},
        {{"extra"}, "extra"},
        {{"--help=yes"}, "takes no value"},
    };
    for (const Rejected& c : cases) {
        const ServerOptions options = ServerOptions::parse(c.args, nullptr, "/h");
        EXPECT_EQ(options.action, Action::Fail) << c.args.front();
        EXPECT_NE(options.error.find(c.errorMentions), std::string::npos) << options.error;
    }
}

TEST(ServerOptions, HelpAndVersionStopParsing) {
    EXPECT_EQ(ServerOptions::parse({"--help", "--bogus"}, nullptr, nullptr).action, Action::ShowHelp);
    EXPECT_EQ(ServerOptions::parse({"--port", "1", "--version"}, nullptr, nullptr).action, Action::ShowVersion);
    EXPECT_EQ(ServerOptions::parse({"--bogus", "--help"}, nullptr, nullptr).action, Action::Fail);
}

TEST(ServerOptions, DefaultDatabasePath) {
    struct Case {
        const char* xdgStateHome;
        const char* home;
        std::string expected;
    };
    for (const Case& c : std::vector<Case>{
             {"/state", "/home/u", "/state/vesmira/users.sqlite3"},
             {"relative", "/home/u", "/home/u/.local/state/vesmira/users.sqlite3"},
             {"", "/home/u", "/home/u/.local/state/vesmira/users.sqlite3"},
             {nullptr, "/home/u", "/home/u/.local/state/vesmira/users.sqlite3"},
             {nullptr, "", ""},
             {nullptr, nullptr, ""},
         }) {
        EXPECT_EQ(ServerOptions::defaultDatabasePath(c.xdgStateHome, c.home), c.expected);
    }
    EXPECT_EQ(ServerOptions::parse({}, nullptr, nullptr).action, Action::Fail);
    EXPECT_EQ(ServerOptions::parse({"--db", "u.db"}, nullptr, nullptr).action, Action::Run);
}

TEST(Logger, FiltersByLevelAndEscapesPeerBytes) {
    std::ostringstream sink;
    Logger logger(LogLevel::Info, sink);
    logger.log(LogLevel::Debug, "1.2.3.4:5", "hidden");
    logger.log(LogLevel::Info, "1.2.3.4:5", "signed in as " + Logger::printable("a\n\x83\x65\\"));
    const std::string text = sink.str();
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find(" info 1.2.3.4:5 signed in as a\\x0a\\x83e\\x5c\n"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

} // namespace
} // namespace vesmira
