#include "server/admin/TlsInitCommand.h"
#include "server/admin/UsersCommand.h"
#include "server/log/Logger.h"
#include "server/options/ServerOptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vesmira {
namespace {

using Action = ServerOptions::Action;

// A command line split at its spaces.
std::vector<std::string> words(std::string_view line) {
    std::vector<std::string> args;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t space = std::min(line.find(' ', at), line.size());
        args.emplace_back(line.substr(at, space - at));
        at = space + 1;
    }
    return args;
}

TEST(ServerOptions, Defaults) {
    const ServerOptions options = ServerOptions::parse({}, nullptr, "/home/u");
    EXPECT_EQ(options.action, Action::Run);
    EXPECT_EQ(options.listenAddress, "0.0.0.0");
    EXPECT_EQ(options.port, 3000);
    EXPECT_EQ(options.databasePath, "/home/u/.local/state/vesmira/users.sqlite3");
    EXPECT_EQ(options.logLevel, LogLevel::Info);
    EXPECT_EQ(options.hashCost, PasswordHasher::Cost::Interactive);
    EXPECT_EQ(options.dialogTimeout, std::chrono::seconds(600));
    EXPECT_EQ(options.signInTimeout, std::chrono::seconds(30));
    EXPECT_EQ(options.recordTimeout, std::chrono::seconds(60));
    EXPECT_TRUE(options.presence);
    EXPECT_EQ(options.maxConnections, std::nullopt);
    EXPECT_EQ(options.maxPending, std::nullopt);
    EXPECT_EQ(options.maxPerAddress, 32u);
    EXPECT_EQ(options.sendBufferBytes, 65536);
    EXPECT_EQ(options.lineRate, 10u);
    EXPECT_EQ(options.lineBurst, 30u);
    EXPECT_FALSE(options.relay);
    EXPECT_EQ(options.relayStreamLength, 100000u);
    EXPECT_EQ(options.relayHold, 10000u);
    EXPECT_FALSE(options.proxyProtocol);
}

TEST(ServerOptions, ValuesInBothForms) {
    const ServerOptions options = ServerOptions::parse(
        words("--listen 127.0.0.1 --port=0 --db /tmp/u.db --log-level=debug --hash-cost min --sign-in-timeout=7 "
              "--record-timeout 9 --max-connections=500 --max-pending 500 --max-per-address=1 --send-buffer 0 "
              "--relay redis://10.0.0.5:6380 --relay-stream-length=500 --relay-hold 7 --proxy-protocol "
              "--registration invite --metrics=[::1]:9464 --tls-port=3443 --tls-cert c.pem --tls-key=k.pem --tls-only "
              "--dialog-timeout 900 --presence=off --line-rate=0 --line-burst 5"),
        nullptr, nullptr);
    ASSERT_EQ(options.action, Action::Run) << options.error;
    EXPECT_EQ(options.listenAddress, "127.0.0.1");
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.databasePath, "/tmp/u.db");
    EXPECT_EQ(options.logLevel, LogLevel::Debug);
    EXPECT_EQ(options.hashCost, PasswordHasher::Cost::Minimum);
    EXPECT_EQ(options.signInTimeout, std::chrono::seconds(7));
    EXPECT_EQ(options.recordTimeout, std::chrono::seconds(9));
    EXPECT_EQ(options.maxConnections, 500u);
    EXPECT_EQ(options.maxPending, 500u);
    EXPECT_EQ(options.maxPerAddress, 1u);
    EXPECT_EQ(options.sendBufferBytes, 0);
    ASSERT_TRUE(options.relay);
    EXPECT_EQ(options.relay->host, "10.0.0.5");
    EXPECT_EQ(options.relay->port, 6380);
    EXPECT_EQ(options.relayStreamLength, 500u);
    EXPECT_EQ(options.relayHold, 7u);
    EXPECT_TRUE(options.proxyProtocol);
    EXPECT_EQ(options.registration, SignInProtocol::Registration::Invite);
    ASSERT_TRUE(options.metrics);
    EXPECT_EQ(options.metrics->text(), "[::1]:9464");
    EXPECT_EQ(options.lineRate, 0u);
    EXPECT_EQ(options.lineBurst, 5u);
    EXPECT_EQ(options.dialogTimeout, std::chrono::seconds(900));
    EXPECT_FALSE(options.presence);
    EXPECT_EQ(options.tlsPort, 3443);
    EXPECT_EQ(options.tlsCertificate, "c.pem");
    EXPECT_EQ(options.tlsKey, "k.pem");
    EXPECT_TRUE(options.tlsOnly);
    const ServerOptions tlsInit = ServerOptions::parse({"tls-init", "--cert", "c"}, nullptr, nullptr);
    EXPECT_EQ(tlsInit.action, Action::TlsInit);
    EXPECT_EQ(tlsInit.usersArgs, (std::vector<std::string>{"--cert", "c"}));
    const ServerOptions users = ServerOptions::parse({"users", "lock", "x", "--db", "f"}, nullptr, nullptr);
    EXPECT_EQ(users.action, Action::Users);
    EXPECT_EQ(users.usersArgs, (std::vector<std::string>{"lock", "x", "--db", "f"}));
    EXPECT_EQ(ServerOptions::parse({"--db", "postgresql://u@db:5432/chat"}, nullptr, nullptr).databasePath,
              "postgresql://u@db:5432/chat");
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
        {{"--record-timeout=86401"}, "1 to 86400"},
        {{"--dialog-timeout", "0"}, "1 to 86400"},
        {{"--presence", "yes"}, "on or off"},
        {{"--max-connections", "0"}, "1 to 1000000"},
        {{"--max-pending=1000001"}, "1 to 1000000"},
        {{"--max-per-address", "-3"}, "1 to 1000000"},
        {{"--max-connections=10", "--max-pending=11"}, "cannot exceed"},
        {{"--send-buffer", "4095"}, "4096 to 67108864"},
        {{"--send-buffer=1k"}, "4096 to 67108864"},
        {{"--line-rate", "-1"}, "0 to 1000000"},
        {{"--line-burst=0"}, "1 to 1000000"},
        {{"--db="}, "--db"},
        {{"extra"}, "extra"},
        {{"--help=yes"}, "takes no value"},
        {{"--proxy-protocol=yes"}, "takes no value"},
        {{"--relay", "http://host:1"}, "redis://"},
        {{"--relay=redis://"}, "bad host"},
        {{"--relay=redis://h:0"}, "bad port"},
        {{"--relay=redis://h:65536"}, "bad port"},
        {{"--relay=redis://h:"}, "bad port"},
        {{"--relay=redis://:pw@h:1"}, "credentials"},
        {{"--relay=redis://h:1/2"}, "database number"},
        {{"--relay=redis://[::1"}, "IPv6"},
        {{"--relay-stream-length=99"}, "100 to 100000000"},
        {{"--relay-hold=0"}, "1 to 100000000"},
        {{"--registration", "anyone"}, "open, invite or closed"},
        {{"--metrics", "localhost:9464"}, "ADDRESS:PORT"},
        {{"--metrics=127.0.0.1"}, "ADDRESS:PORT"},
        {{"--metrics=127.0.0.1:65536"}, "ADDRESS:PORT"},
        {{"--metrics=::1:9464"}, "ADDRESS:PORT"},
        {{"--port=1", "users", "list"}, "'users' comes first"},
        {{"--port=1", "tls-init"}, "'tls-init' comes first"},
        {{"--tls-port", "3443"}, "needs --tls-cert and --tls-key"},
        {{"--tls-port=3443", "--tls-cert=c"}, "needs --tls-cert and --tls-key"},
        {{"--tls-key=k"}, "need --tls-port"},
        {{"--tls-only"}, "need --tls-port"},
        {{"--tls-port=3000", "--tls-cert=c", "--tls-key=k"}, "a port of its own"},
        {{"--tls-port=70000"}, "0 to 65535"},
        {{"--tls-only=yes"}, "takes no value"},
    };
    for (const Rejected& c : cases) {
        const ServerOptions options = ServerOptions::parse(c.args, nullptr, "/h");
        EXPECT_EQ(options.action, Action::Fail) << c.args.front();
        EXPECT_NE(options.error.find(c.errorMentions), std::string::npos) << options.error;
    }
}

TEST(ServerOptions, SettingsFollowTheOpenFileLimit) {
    struct Case {
        std::vector<std::string> args;
        std::uint64_t openFiles;
        std::size_t maxConnections;
        std::size_t maxPending;
        std::size_t warnings;
    };
    for (const Case& c : std::vector<Case>{
             {{}, 20000, 19936, 4984, 0},
             {{}, 1024, 960, 240, 0},
             {{}, 10, 1, 1, 0},
             {{"--max-connections=100"}, 20000, 100, 25, 0},
             {{"--max-connections=5000"}, 1024, 5000, 1250, 1},
             {{"--max-pending=2000"}, 1024, 960, 960, 1},
             {{"--max-pending=10"}, 1024, 960, 10, 0},
         }) {
        const ServerOptions options = ServerOptions::parse(c.args, nullptr, "/h");
        ASSERT_EQ(options.action, Action::Run) << options.error;
        std::vector<std::string> warnings;
        const ServerSettings settings = options.settings(c.openFiles, warnings);
        EXPECT_EQ(settings.maxConnections, c.maxConnections) << c.openFiles;
        EXPECT_EQ(settings.maxPending, c.maxPending) << c.openFiles;
        EXPECT_EQ(warnings.size(), c.warnings) << c.openFiles;
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

TEST(UsersCommand, ReadsTheStoreOptionsAsTheServerDoesOnceNoHelpIsAsked) {
    using UsersAction = UsersCommand::Action;
    struct Case {
        std::vector<std::string> args;
        const char* home;
        UsersAction action;
        std::string databaseOrError;
        PasswordHasher::Cost cost = PasswordHasher::Cost::Interactive;
    };
    for (const Case& c : std::vector<Case>{
             {{"list", "--db", "/d", "--hash-cost=min"},
              nullptr,
              UsersAction::Run,
              "/d",
              PasswordHasher::Cost::Minimum},
             {{"--db=/e", "list"}, nullptr, UsersAction::Run, "/e"},
             {{"list"}, "/h", UsersAction::Run, "/h/.local/state/vesmira/users.sqlite3"},
             {{"list"}, nullptr, UsersAction::Fail, "neither XDG_STATE_HOME nor HOME"},
             {{"list", "--db="}, "/h", UsersAction::Fail, "--db needs a file path"},
             {{"list", "--hash-cost", "high"}, "/h", UsersAction::Fail, "not 'high'"},
             {{"list", "--hash-cost=high", "--db"}, "/h", UsersAction::Fail, "not 'high'"},
             {{"list", "--db"}, "/h", UsersAction::Fail, "option '--db' needs a value"},
             {{"list", "--hash-cost=high", "--port"}, "/h", UsersAction::Fail, "unknown option '--port'"},
             {{"list", "--hash-cost=high", "--help"}, "/h", UsersAction::ShowHelp, ""},
         }) {
        const UsersCommand command = UsersCommand::parse(c.args, nullptr, c.home);
        EXPECT_EQ(command.action, c.action) << c.args.back();
        if (c.action == UsersAction::Run) {
            EXPECT_EQ(command.database, c.databaseOrError);
            EXPECT_EQ(command.hashCost, c.cost) << c.args.back();
        } else {
            EXPECT_NE(command.error.find(c.databaseOrError), std::string::npos) << command.error;
        }
    }
}

TEST(TlsInitCommand, NeedsBothFilesAndAHostName) {
    using TlsAction = TlsInitCommand::Action;
    struct Case {
        std::string line;
        TlsAction action;
        std::string nameOrError;
    };
    for (const Case& c : std::vector<Case>{
             {"--cert c --key k", TlsAction::Run, "box.lan"},
             {"--key k --cert c --name chat.example --days 30 --if-missing", TlsAction::Run, "chat.example"},
             {"--cert c", TlsAction::Fail, "needs --cert FILE and --key FILE"},
             {"--cert c --key k --name a,DNS:evil", TlsAction::Fail, "host name"},
             {"--cert c --key k --days 0", TlsAction::Fail, "1 to 36500"},
             {"--cert c --key k --days", TlsAction::Fail, "needs a value"},
             {"--cert c --key k --port 1", TlsAction::Fail, "unknown option '--port'"},
             {"--bogus --help", TlsAction::Fail, "unknown option"},
             {"--help --bogus", TlsAction::ShowHelp, ""},
         }) {
        const TlsInitCommand command = TlsInitCommand::parse(words(c.line), "box.lan");
        EXPECT_EQ(command.action, c.action) << c.line;
        EXPECT_NE((c.action == TlsAction::Run ? command.name : command.error).find(c.nameOrError), std::string::npos)
            << c.line << ": " << command.error;
    }
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
