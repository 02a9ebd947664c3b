#include "ChildProcess.h"
#include "Engines.h"
#include "ServerHarness.h"
#include "TempFolder.h"
#include "TestClient.h"
#include "server/log/Logger.h"
#include "server/metrics/ServerStats.h"
#include "server/users/OpenDirectory.h"
#include "server/users/PasswordHasher.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vesmira {
namespace {

using namespace std::chrono_literals;
using Answer = UserDirectory::Answer;

// The tables as they were before accounts could be locked, with one user, "veteran" (password "old").
bool createOldTables(const std::string& store, bool postgres) {
    const std::optional<std::string> hash = PasswordHasher(PasswordHasher::Cost::Minimum).hash("old");
    if (!hash) {
        return false;
    }
    const std::string sql =
        (postgres
             ? "CREATE TABLE users (id bytea PRIMARY KEY, password_hash text NOT NULL, created_at bigint NOT NULL);"
               "INSERT INTO users VALUES ('\\x7665746572616e', '"
             : "CREATE TABLE users (id BLOB PRIMARY KEY NOT NULL, password_hash TEXT NOT NULL, "
               "created_at INTEGER NOT NULL) WITHOUT ROWID; INSERT INTO users VALUES (x'7665746572616e', '") +
        *hash + "', 1700000000);";
    if (postgres) {
        PGconn* connection = PQconnectdb(store.c_str());
        PGresult* result = PQexec(connection, sql.c_str());
        const bool done = PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
        PQfinish(connection);
        return done;
    }
    sqlite3* db = nullptr;
    const bool done = sqlite3_open(store.c_str(), &db) == SQLITE_OK &&
                      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return done;
}

// The same operations on the SQLite file and on PostgreSQL, each asked through two directories on one store: the
// server's, and the operator's (another process, or another node, in real use). Each store starts with the tables
// of the version before, which the first directory to open upgrades in place.
class Directories : public InTempFolder<::testing::TestWithParam<bool>> {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(InTempFolder::SetUp());
        std::string store = m_folder + "/users.sqlite3";
        if (GetParam()) {
            m_postgres = std::make_unique<PostgresEngine>(m_folder + "/postgres");
            ASSERT_TRUE(m_postgres->start()) << m_postgres->error();
            store = m_postgres->uri();
        }
        ASSERT_TRUE(PasswordHasher::initialize());
        ASSERT_TRUE(createOldTables(store, GetParam()));
        std::string error;
        for (auto* directory : {&m_server, &m_operator}) {
            *directory = openUserDirectory(store, PasswordHasher(PasswordHasher::Cost::Minimum), m_logger, error);
            ASSERT_TRUE(*directory) << error;
        }
    }
    void TearDown() override {
        m_server.reset();
        m_operator.reset();
        m_postgres.reset();
        InTempFolder::TearDown();
    }

    std::ostringstream m_log;
    Logger m_logger{LogLevel::Warn, m_log};
    std::unique_ptr<PostgresEngine> m_postgres;
    std::unique_ptr<UserDirectory> m_server;
    std::unique_ptr<UserDirectory> m_operator;
};

TEST_P(Directories, AccountsGoThroughTheirStates) {
    UserDirectory& op = *m_operator;
    UserDirectory& sv = *m_server;
    struct Step {
        const char* what;
        std::function<Answer()> run;
        Answer expected;
    };
    const std::vector<Step> steps = {
        {"add alice", [&] { return op.create("alice", "pw"); }, Answer::Yes},
        {"add alice again", [&] { return op.create("alice", "other"); }, Answer::No},
        {"invite bob", [&] { return op.invite("bob"); }, Answer::Yes},
        {"invite alice", [&] { return op.invite("alice"); }, Answer::No},
        {"an invited ID cannot sign in", [&] { return sv.contains("bob"); }, Answer::No},
        {"uninvited, by invitation", [&] { return sv.reserveInvited("carol", "h1"); }, Answer::No},
        {"uninvited, by invitation", [&] { return sv.addInvited("carol", "pw", "h1"); }, Answer::No},
        {"invited, by invitation", [&] { return sv.reserveInvited("bob", "h1"); }, Answer::Yes},
        {"held for another", [&] { return sv.reserve("bob", "h2"); }, Answer::No},
        {"register the invited", [&] { return sv.addInvited("bob", "pw2", "h1"); }, Answer::Yes},
        {"once only", [&] { return sv.addInvited("bob", "pw3", "h1"); }, Answer::No},
        {"open registration of a taken ID", [&] { return sv.add("bob", "pw3", "h1"); }, Answer::No},
        {"bob signs in", [&] { return sv.checkPassword("bob", "pw2"); }, Answer::Yes},
        {"invite dave", [&] { return op.invite("dave"); }, Answer::Yes},
        {"open registration of an invited ID", [&] { return sv.reserve("dave", "h3"); }, Answer::Yes},
        {"open registration of an invited ID", [&] { return sv.add("dave", "pw", "h3"); }, Answer::Yes},
        {"lock alice", [&] { return op.setLocked("alice", true); }, Answer::Yes},
        {"lock nobody", [&] { return op.setLocked("nobody", true); }, Answer::No},
        {"a locked user still exists", [&] { return sv.contains("alice"); }, Answer::Yes},
        {"a locked user is refused", [&] { return sv.checkPassword("alice", "pw"); }, Answer::Locked},
        {"new password", [&] { return op.setPassword("alice", "new"); }, Answer::Yes},
        {"new password for nobody", [&] { return op.setPassword("nobody", "new"); }, Answer::No},
        {"unlock alice", [&] { return op.setLocked("alice", false); }, Answer::Yes},
        {"the old password", [&] { return sv.checkPassword("alice", "pw"); }, Answer::No},
        {"the new password", [&] { return sv.checkPassword("alice", "new"); }, Answer::Yes},
        {"lock dave", [&] { return op.setLocked("dave", true); }, Answer::Yes},
        {"a user from before signs in", [&] { return sv.checkPassword("veteran", "old"); }, Answer::Yes},
        {"remove bob", [&] { return op.remove("bob"); }, Answer::Yes},
        {"remove bob again", [&] { return op.remove("bob"); }, Answer::No},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(step.run(), step.expected) << step.what;
    }

    // Oldest first: the user from before, then in the order they were made.
    const auto accounts = op.accounts();
    ASSERT_TRUE(accounts);
    using State = UserDirectory::Account::State;
    std::vector<std::pair<std::string, State>> states;
    for (const UserDirectory::Account& account : *accounts) {
        states.emplace_back(account.id, account.state);
        EXPECT_TRUE(account.lastSignIn) << account.id << ": recorded at sign-in and registration";
    }
    EXPECT_EQ(states,
              (decltype(states){{"veteran", State::Active}, {"alice", State::Active}, {"dave", State::Locked}}));
    EXPECT_EQ(accounts->front().created, 1700000000);
    EXPECT_GT(accounts->back().created, 1700000000);

    // Bytes of any value travel as they are.
    const std::string odd("\x00\xff\x83", 3);
    auto inactive = sv.inactiveAmong({"alice", "bob", "dave", odd});
    ASSERT_TRUE(inactive);
    std::sort(inactive->begin(), inactive->end());
    EXPECT_EQ(*inactive, (std::vector<std::string>{odd, "bob", "dave"}));
    EXPECT_EQ(sv.inactiveAmong({}), std::vector<std::string>());
}

// Nothing but the store carries the change: the server notices it by asking.
TEST_P(Directories, LockedOrRemovedUsersAreClosedWithinASecondAndRefusedAtThePassword) {
    ServerHarness::Options options;
    options.users = m_server.get();
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    auto alice = registered(server.port(), "alice");
    auto bob = registered(server.port(), "bob");
    ASSERT_TRUE(alice && bob);

    ASSERT_EQ(m_operator->setLocked("alice", true), Answer::Yes);
    EXPECT_TRUE(alice->readUntilClosed(3s).has_value()) << "a locked user's connection is closed";
    EXPECT_TRUE(bob->send(line("bob", "still here")));
    EXPECT_TRUE(bob->receive(500).has_value()) << "others stay";
    auto again = greeted(server.port());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->exchange(std::string("JUDGE\0", 6)), "ok");
    EXPECT_EQ(again->exchange("USER:alice"), "ok");
    EXPECT_EQ(again->exchange("PASSWORD:pw"), "ng") << "refused at the password step";
    ASSERT_EQ(m_operator->setLocked("alice", false), Answer::Yes);
    EXPECT_TRUE(greeted(server.port())->authenticate("alice", "pw"));

    ASSERT_EQ(m_operator->remove("bob"), Answer::Yes);
    EXPECT_TRUE(bob->readUntilClosed(3s).has_value()) << "a removed user's connection is closed";
    EXPECT_EQ(server.stats().accountClosures(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Stores, Directories, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

struct HttpReply {
    int status = 0;
    std::string body;
};

HttpReply httpGet(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    HttpReply reply;
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        if (text.starts_with("HTTP/1.")) {
            reply.status = std::atoi(text.c_str() + 9);
        }
        const auto body = text.find("\r\n\r\n");
        reply.body = body == std::string::npos ? "" : text.substr(body + 4);
    }
    ::close(fd);
    return reply;
}

class Metrics : public InTempFolder<> {};

TEST_F(Metrics, PromtoolAcceptsTheOutputItCountsWhatHappenedAndHealthFollowsTheDatabase) {
    PostgresEngine postgres(m_folder + "/postgres");
    ASSERT_TRUE(postgres.start()) << postgres.error();
    const std::uint16_t metricsPort = freePort();
    NodeProcess node(m_folder + "/node.log",
                     {"--db", postgres.uri(), "--metrics", "127.0.0.1:" + std::to_string(metricsPort)});
    ASSERT_TRUE(node.start()) << TempDir::read(m_folder + "/node.log");
    auto alice = registered(node.port(), "alice");
    auto bob = registered(node.port(), "bob");
    ASSERT_TRUE(alice && bob);
    ASSERT_TRUE(alice->send(line("alice", "hi")));
    ASSERT_TRUE(alice->receive(500) && bob->receive(500));
    auto guesser = greeted(node.port());
    ASSERT_TRUE(guesser);
    EXPECT_FALSE(guesser->authenticate("alice", "wrong"));

    const HttpReply metrics = httpGet(metricsPort, "/metrics");
    ASSERT_EQ(metrics.status, 200);
    for (const char* sample : {
             "vesmira_connections{state=\"signed_in\"} 2\n",
             "vesmira_connections{state=\"pending\"} 1\n",
             // The sign-ins of alice (to nobody) and of bob (to alice), and the line (to both).
             "vesmira_records_relayed_total 3\n",
             "vesmira_deliveries_total 3\n",
             "vesmira_sign_in_steps_total{result=\"accepted\",step=\"entry_password\"} 2\n",
             "vesmira_sign_in_steps_total{result=\"refused\",step=\"password\"} 1\n",
             "vesmira_authentication_failures_total 1\n",
             "vesmira_hash_duration_seconds_count 3\n",
             "vesmira_connections_refused_total{limit=\"per_address\"} 0\n",
             "vesmira_database_up 1\n",
             "vesmira_tls_handshakes_total{result=\"failed\"} 0\n",
         }) {
        EXPECT_NE(metrics.body.find(sample), std::string::npos) << sample << metrics.body;
    }
    const std::string file = m_folder + "/metrics.txt";
    std::ofstream(file) << metrics.body;
    EXPECT_EQ(std::system(("promtool check metrics < " + file + " > " + file + ".report 2>&1").c_str()), 0)
        << TempDir::read(file + ".report");

    // The health check fails while the database does not answer.
    const auto statusWithin = [&](int status, std::chrono::seconds deadline) {
        return eventually([&] { return httpGet(metricsPort, "/healthz").status == status; }, deadline, 100ms);
    };
    EXPECT_TRUE(statusWithin(200, 5s));
    postgres.stop();
    EXPECT_TRUE(statusWithin(503, 15s));
    ASSERT_TRUE(postgres.start()) << postgres.error();
    EXPECT_TRUE(statusWithin(200, 15s));
}

TEST_F(Metrics, IdleAndSlowConnectionsCannotHoldUpTheHealthCheck) {
    const std::uint16_t metricsPort = freePort();
    NodeProcess node(m_folder + "/node.log",
                     {"--db", m_folder + "/users.sqlite3", "--metrics", "127.0.0.1:" + std::to_string(metricsPort)});
    ASSERT_TRUE(node.start()) << TempDir::read(m_folder + "/node.log");
    std::vector<std::unique_ptr<TestClient>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<TestClient>());
        ASSERT_TRUE(idle.back()->connect(metricsPort));
        if (i % 10 == 0) {
            ASSERT_TRUE(idle.back()->send("GET /healthz HTTP/1.1\r\nHost: x\r\n")); // and never the rest
        }
    }
    for (const char* path : {"/healthz", "/metrics", "/healthz"}) {
        EXPECT_EQ(httpGet(metricsPort, path).status, 200) << path;
    }
    EXPECT_EQ(httpGet(metricsPort, "/other").status, 404);
    // Idle connections are closed after a while; the server itself goes on.
    EXPECT_TRUE(idle.front()->readUntilClosed(10s).has_value());
}

} // namespace
} // namespace vesmira
