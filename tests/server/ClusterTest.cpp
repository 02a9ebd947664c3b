#include "ChildProcess.h"
#include "Engines.h"
#include "TempFolder.h"
#include "TestCertificate.h"
#include "TestClient.h"
#include "server/bus/RedisGuessGate.h"
#include "server/bus/RedisLink.h"
#include "server/log/Logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <future>
#include <hiredis.h>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vesmira {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;

// The lines a client receives until `count` have come or the deadline passes.
std::vector<std::string> receiveLines(TestClient& client, std::size_t count, std::chrono::milliseconds deadline = 10s) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
        const auto bytes = client.receive(kRecordBytes, deadline);
        if (!bytes) {
            break;
        }
        lines.push_back(bytes->substr(0, bytes->find('\0')));
    }
    return lines;
}

// The next `count` lines, sorted: each node appends a sign-in when it gets to it, so those of users on different
// nodes come in any order.
std::vector<std::string> sortedLines(TestClient& client, std::size_t count) {
    auto lines = receiveLines(client, count);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Reads until `line` has come (true) or nothing more does. A user who signs in on one node while another user's
// sign-in is on its way from another node may hear of that one too: lines before the one awaited are skipped.
bool skipUntil(TestClient& client, const std::string& line) {
    for (auto next = receiveLines(client, 1); !next.empty(); next = receiveLines(client, 1)) {
        if (next.front() == line) {
            return true;
        }
    }
    return false;
}

// Real engines and real server processes in a folder of the test's own.
class Cluster : public InTempFolder<> {
protected:
    void TearDown() override {
        m_nodes.clear();
        m_postgres.reset();
        m_redis.reset();
        InTempFolder::TearDown();
    }

    // PostgreSQL, Redis and `nodes` nodes on both, each started with `nodeArgs`.
    void startCluster(int nodes, const std::vector<std::string>& nodeArgs = {}, bool persistentRedis = false) {
        m_postgres = std::make_unique<PostgresEngine>(m_folder + "/postgres");
        ASSERT_TRUE(m_postgres->start()) << m_postgres->error();
        ASSERT_NO_FATAL_FAILURE(startRedis(persistentRedis));
        for (int i = 1; i <= nodes; ++i) {
            std::vector<std::string> args = {"--db", m_postgres->uri(), "--relay", m_redis->uri()};
            args.insert(args.end(), nodeArgs.begin(), nodeArgs.end());
            m_nodes.push_back(std::make_unique<NodeProcess>(m_folder + "/node" + std::to_string(i) + ".log", args));
            ASSERT_TRUE(m_nodes.back()->start()) << "see " << m_nodes.back()->log();
        }
    }
    void startRedis(bool persistent = false) {
        m_redis = std::make_unique<RedisEngine>(m_folder + "/redis");
        ASSERT_TRUE(m_redis->start(persistent)) << "redis-server did not start; see " << m_folder << "/redis";
    }
    NodeProcess& node(std::size_t index) { return *m_nodes[index]; }

    std::unique_ptr<PostgresEngine> m_postgres;
    std::unique_ptr<RedisEngine> m_redis;
    std::vector<std::unique_ptr<NodeProcess>> m_nodes;
};

TEST_F(Cluster, UsersOnTwoNodesSeeOneOrderAndTheBusCarriesEachLineOnce) {
    ASSERT_NO_FATAL_FAILURE(startCluster(2));
    auto alice = registered(node(0).port(), "alice");
    auto bob = registered(node(1).port(), "bob");
    auto carol = registered(node(1).port(), "carol");
    ASSERT_TRUE(alice && bob && carol);
    // Once alice has heard of carol, every sign-in is in the stream, before her next line.
    ASSERT_EQ(sortedLines(*alice, 2), (std::vector<std::string>{said("bob", kJoinedText), said("carol", kJoinedText)}));
    ASSERT_TRUE(alice->send(line("alice", "ready?")));
    for (TestClient* user : {alice.get(), bob.get(), carol.get()}) {
        ASSERT_TRUE(skipUntil(*user, said("alice", "ready?"))) << "past the sign-ins";
    }
    // Both send at once, without waiting for each other: the stream decides one order for everybody.
    constexpr int kLines = 40;
    for (int i = 0; i < kLines; ++i) {
        ASSERT_TRUE(alice->send(line("alice", std::to_string(i))));
        ASSERT_TRUE(bob->send(line("bob", std::to_string(i))));
    }
    const auto seenByAlice = receiveLines(*alice, 2 * kLines);
    ASSERT_EQ(seenByAlice.size(), 2u * kLines);
    EXPECT_EQ(receiveLines(*bob, 2 * kLines), seenByAlice);
    EXPECT_EQ(receiveLines(*carol, 2 * kLines), seenByAlice);
    int nextAlice = 0;
    int nextBob = 0;
    for (const std::string& line : seenByAlice) {
        const bool fromAlice = line.starts_with(said("alice", ""));
        int& next = fromAlice ? nextAlice : nextBob;
        EXPECT_EQ(line, said(fromAlice ? "alice" : "bob", std::to_string(next++))) << "each sender's own order";
    }
    // Three members, two nodes: each line is one entry, whoever reads it (and so is each sign-in).
    RedisLink link;
    ASSERT_TRUE(link.connect({"127.0.0.1", m_redis->port()}, 2s));
    const RedisLink::Reply length = link.command({"XLEN", "vesmira:room"});
    ASSERT_TRUE(length);
    EXPECT_EQ(length->integer, 2 * kLines + 4);
}

// Joins are heard once across the nodes, the ID on two nodes included; when a node is killed, the users of the others
// hear of each of its users' leave once (not once per surviving node), unless the ID is still on another node.
TEST_F(Cluster, UsersOfAKilledNodeAreAnnouncedGoneOnceWithinTenSeconds) {
    ASSERT_NO_FATAL_FAILURE(startCluster(3));
    auto alice = registered(node(0).port(), "alice");
    auto bob = registered(node(1).port(), "bob");
    auto carol = registered(node(2).port(), "carol");
    auto dave = registered(node(2).port(), "dave");
    auto daveToo = greeted(node(1).port());
    ASSERT_TRUE(alice && bob && carol && dave && daveToo && daveToo->authenticate("dave", "pw"));
    EXPECT_EQ(sortedLines(*alice, 3), (std::vector<std::string>{said("bob", kJoinedText), said("carol", kJoinedText),
                                                                said("dave", kJoinedText)}));
    ASSERT_TRUE(carol->send(line("carol", "bye")));
    for (TestClient* user : {alice.get(), bob.get()}) {
        ASSERT_TRUE(skipUntil(*user, said("carol", "bye"))) << "past the sign-ins";
    }

    node(2).kill();
    const auto killed = std::chrono::steady_clock::now();
    for (TestClient* survivor : {alice.get(), bob.get()}) {
        EXPECT_EQ(receiveLines(*survivor, 1, 10s), std::vector<std::string>{said("carol", kLeftText)});
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 10s);
    ASSERT_TRUE(alice->send(line("alice", "after")));
    for (TestClient* survivor : {alice.get(), bob.get()}) {
        EXPECT_EQ(receiveLines(*survivor, 1), std::vector<std::string>{said("alice", "after")}) << "nothing twice";
    }
}

TEST_F(Cluster, SameIdRegisteredOnTwoNodesAtOnceHasOneWinner) {
    ASSERT_NO_FATAL_FAILURE(startCluster(2));
    for (int round = 0; round < 10; ++round) {
        const std::string id = "racer" + std::to_string(round);
        auto first = greeted(node(0).port());
        auto second = greeted(node(1).port());
        ASSERT_TRUE(first && second);
        ASSERT_EQ(first->exchange("ENTRY\0"s), "ok");
        ASSERT_EQ(second->exchange("ENTRY\0"s), "ok");
        auto reply = std::async(std::launch::async, [&] { return second->exchange(id); });
        const std::string firstReply = first->exchange(id);
        const std::string secondReply = reply.get();
        ASSERT_EQ((firstReply == "ok") + (secondReply == "ok"), 1) << id << ": " << firstReply << secondReply;
        ASSERT_EQ((firstReply == "ng") + (secondReply == "ng"), 1) << "the other is refused at the ID step";
        TestClient& winner = firstReply == "ok" ? *first : *second;
        EXPECT_EQ(winner.exchange("pw-" + id), "ok");
        auto check = greeted(node(firstReply == "ok" ? 1 : 0).port());
        EXPECT_TRUE(check && check->authenticate(id, "pw-" + id));
    }
}

TEST_F(Cluster, GuessersOnTwoNodesAreHeldToTheRateOfOne) {
    // As on one server: one guesser alone is refused after 0.25, 0.75, 1.75 and 3.75 s, then every 4 s. Meanwhile
    // alice signs in from another address: each of her checks waits for one of theirs at most.
    ASSERT_NO_FATAL_FAILURE(startCluster(2));
    ASSERT_TRUE(registered(node(0).port(), "alice"));
    auto guessing = std::async(std::launch::async, [&] {
        return guessTogether({node(0).port(), node(1).port()}, 16, "alice", 14s);
    });
    std::this_thread::sleep_for(4s);
    auto owner = greeted(node(1).port(), "127.0.0.2");
    ASSERT_TRUE(owner);
    for (const std::string& message : {"JUDGE\0"s, "USER:alice"s, "PASSWORD:pw"s}) {
        ASSERT_TRUE(owner->send(message));
        EXPECT_EQ(owner->receive(2, 5s), "ok") << message;
    }
    EXPECT_LE(guessing.get(), 6u);
}

TEST_F(Cluster, ANodeThatFellBehindTheStreamClosesItsUsersAndSaysSoOnce) {
    ASSERT_NO_FATAL_FAILURE(startCluster(2, {"--relay-stream-length", "100", "--line-rate", "0", "--presence", "off"}));
    auto alice = registered(node(0).port(), "alice");
    auto bob = registered(node(1).port(), "bob");
    ASSERT_TRUE(alice && bob);
    node(1).signal(SIGSTOP);
    // In half a second: node one, which is not paused, reads each line long before it is trimmed.
    for (int i = 0; i < 600; i += 30) {
        std::string lines;
        for (int n = i; n < i + 30; ++n) {
            lines += line("alice", std::to_string(n));
        }
        ASSERT_TRUE(alice->send(lines));
        ASSERT_TRUE(alice->receive(lines.size()) == lines) << "node one appended and read them all";
        std::this_thread::sleep_for(25ms);
    }
    std::this_thread::sleep_for(1s);
    node(1).signal(SIGCONT);
    // Bob gets every line, or none past the hole: his connection ends instead.
    const std::vector<std::string> seen = receiveLines(*bob, 600, 5s);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], said("alice", std::to_string(i)));
    }
    if (seen.size() < 600) {
        EXPECT_TRUE(bob->readUntilClosed(5s).has_value());
    }
    EXPECT_EQ(countInFile(node(1).log(), "trimmed from it before they were read"), 1u);
    EXPECT_EQ(countInFile(node(0).log(), "trimmed from it before they were read"), 0u);
    auto again = greeted(node(1).port());
    ASSERT_TRUE(again && again->authenticate("bob", "pw"));
    ASSERT_TRUE(alice->send(line("alice", "after")));
    EXPECT_EQ(receiveLines(*again, 1), std::vector<std::string>{said("alice", "after")});
}

TEST_F(Cluster, GuessGateTakesARestartOfRedisForNoOutage) {
    // Its idle link died with Redis: the next check asks Redis again on a fresh link, not the local gate.
    ASSERT_NO_FATAL_FAILURE(startRedis());
    std::ostringstream log;
    Logger logger(LogLevel::Info, log);
    RedisGuessGate gate({"127.0.0.1", m_redis->port()}, {}, logger);
    for (int restart = 0; restart < 2; ++restart) {
        const GuessGate::Entry entry = gate.enter("alice", "127.0.0.1");
        EXPECT_TRUE(entry.admitted && !entry.local) << restart;
        gate.leave("alice", "127.0.0.1", GuessGate::Result::Succeeded, entry);
        m_redis->kill();
        ASSERT_TRUE(m_redis->start(false));
    }
    EXPECT_EQ(log.str(), "");
}

TEST_F(Cluster, GuessGateCountsAFailureRedisLostAndKeepsTheLocalChecks) {
    // Redis let one check of alice's in and went away; meanwhile the local gate let another in.
    ASSERT_NO_FATAL_FAILURE(startRedis());
    std::ostringstream log;
    Logger logger(LogLevel::Error, log);
    RedisGuessGate gate({"127.0.0.1", m_redis->port()}, {.first = 1ms, .cap = 1ms}, logger);
    const GuessGate::Entry shared = gate.enter("alice", "127.0.0.1");
    m_redis->kill();
    ASSERT_TRUE(shared.admitted && !shared.local);
    ASSERT_TRUE(gate.enter("alice", "127.0.0.2").local);
    EXPECT_EQ(gate.leave("alice", "127.0.0.1", GuessGate::Result::Failed, shared), 1ms);
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(gate.enter("alice", "127.0.0.3").admitted) << "the local check is still in flight";
}

TEST_F(Cluster, SignInsWhileRedisIsAwayHoldOneCountPerId) {
    ASSERT_NO_FATAL_FAILURE(startCluster(1));
    ASSERT_TRUE(registered(node(0).port(), "alice"));
    m_redis->kill();
    for (int i = 0; i < 30; ++i) {
        auto alice = greeted(node(0).port());
        ASSERT_TRUE(alice && alice->authenticate("alice", "pw")) << i;
    }
    std::this_thread::sleep_for(200ms); // the last sign-out
    node(0).signal(SIGTERM);
    ASSERT_TRUE(node(0).wait(10s));
    // Her counts in the batch that failed and one after it, not two per sign-in.
    const std::regex stopping("stopping with ([0-9]+) lines");
    std::smatch held;
    const std::string log = TempDir::read(node(0).log());
    ASSERT_TRUE(std::regex_search(log, held, stopping)) << log;
    EXPECT_LE(std::stoi(held[1]), 4) << held[0];
}

TEST_F(Cluster, GuessGatesLetAnAddressWithNoFailuresGoFirst) {
    // B has failed before, the owner's address has not; both wait for A's check. The owner goes next, in this
    // server's gate and in the one shared through Redis alike.
    ASSERT_NO_FATAL_FAILURE(startRedis());
    std::ostringstream log;
    Logger logger(LogLevel::Error, log);
    const GuessDelay::Settings settings{.first = 1ms, .cap = 1ms};
    LocalGuessGate local(settings);
    RedisGuessGate shared({"127.0.0.1", m_redis->port()}, settings, logger);
    for (GuessGate* gate : std::initializer_list<GuessGate*>{&local, &shared}) {
        SCOPED_TRACE(gate == &local ? "local" : "shared");
        const GuessGate::Entry failing = gate->enter("alice", "10.0.0.2");
        ASSERT_TRUE(failing.admitted);
        gate->leave("alice", "10.0.0.2", GuessGate::Result::Failed, failing);
        std::this_thread::sleep_for(5ms); // its refusal's hold
        const GuessGate::Entry first = gate->enter("alice", "10.0.0.1");
        ASSERT_TRUE(first.admitted);
        EXPECT_FALSE(gate->enter("alice", "10.0.0.2").admitted);
        EXPECT_FALSE(gate->enter("alice", "10.0.0.3").admitted);
        gate->leave("alice", "10.0.0.1", GuessGate::Result::Failed, first);
        std::this_thread::sleep_for(5ms);
        EXPECT_FALSE(gate->enter("alice", "10.0.0.2").admitted);
        EXPECT_TRUE(gate->enter("alice", "10.0.0.3").admitted);
    }
    EXPECT_EQ(log.str(), "");
}

struct Fault {
    const char* name;
    bool inRedis; // else PostgreSQL stops and starts again
    bool redisKeepsData;
};

class ClusterFaults : public Cluster, public ::testing::WithParamInterface<Fault> {};

// Two users on two nodes chat through a fault: nothing they send is lost, duplicated or reordered, each node logs
// the outage and the recovery once, and the cluster recovers without help.
TEST_P(ClusterFaults, ChatGoesOnAndRecovers) {
    const Fault fault = GetParam();
    constexpr int kHold = 12;
    ASSERT_NO_FATAL_FAILURE(startCluster(2, {"--relay-hold", std::to_string(kHold)}, fault.redisKeepsData));
    auto alice = registered(node(0).port(), "alice");
    auto bob = registered(node(1).port(), "bob");
    auto flood = registered(node(0).port(), "flood");
    ASSERT_TRUE(alice && bob && flood);
    ASSERT_EQ(sortedLines(*alice, 2), (std::vector<std::string>{said("bob", kJoinedText), said("flood", kJoinedText)}));
    ASSERT_TRUE(alice->send(line("alice", "before")));
    for (TestClient* user : {alice.get(), bob.get(), flood.get()}) {
        ASSERT_TRUE(skipUntil(*user, said("alice", "before"))) << "past the sign-ins";
    }

    if (fault.inRedis) {
        m_redis->kill();
    } else {
        m_postgres->stop();
    }
    std::vector<std::string> sentOnOne;
    std::vector<std::string> sentOnTwo;
    for (int i = 0; i < 5; ++i) {
        sentOnOne.push_back(said("alice", std::to_string(i)));
        sentOnTwo.push_back(said("bob", std::to_string(i)));
        ASSERT_TRUE(alice->send(record(sentOnOne.back())));
        ASSERT_TRUE(bob->send(record(sentOnTwo.back())));
    }
    if (fault.inRedis) {
        // Node one holds alice's 5 lines; the flood fills the rest of its hold and is closed at the next line.
        // (A line whose append Redis never confirmed stays held too: alice's line before may still be, if its reply
        // was lost with Redis.)
        std::this_thread::sleep_for(200ms);
        for (int i = 0; i < kHold; ++i) {
            flood->send(line("flood", std::to_string(i))); // fails once the server has closed the connection
        }
        EXPECT_TRUE(flood->readUntilClosed(5s).has_value()) << "a line beyond the hold closes its sender";
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(m_redis->start(fault.redisKeepsData));
    } else {
        // Sign-ins are refused at the step that waits for the database; chat goes on meanwhile.
        auto newcomer = greeted(node(1).port());
        ASSERT_TRUE(newcomer);
        EXPECT_EQ(newcomer->exchange("ENTRY\0"s), "ok");
        EXPECT_EQ(newcomer->exchange("dave"), "ng");
        EXPECT_EQ(newcomer->exchange("JUDGE\0"s), "ok");
        EXPECT_EQ(newcomer->exchange("USER:alice"), "ng");
        const auto chat = receiveLines(*flood, 10);
        EXPECT_EQ(chat.size(), 10u) << "lines are relayed while the database is down";
        ASSERT_TRUE(m_postgres->start()) << m_postgres->error();
        const auto signsIn = [&] {
            auto client = greeted(node(1).port());
            return client && client->authenticate("alice", "pw");
        };
        EXPECT_TRUE(eventually(signsIn, 20s, 100ms)) << "sign-ins work again once the database is back";
    }

    // Every line once, in one order for both, each node's lines in the order it received them. Alice's last line
    // follows node one's held lines, once they are out of its hold.
    eventually([&] { return !fault.inRedis || countInFile(node(0).log(), "is back after") > 0; }, 15s, 50ms);
    ASSERT_TRUE(alice->send(line("alice", "after")));
    std::vector<std::string> seenByAlice;
    std::vector<std::string> fromOne;
    std::vector<std::string> fromTwo;
    while (fromOne.empty() || fromOne.back() != said("alice", "after") || fromTwo.size() < sentOnTwo.size()) {
        const auto lines = receiveLines(*alice, 1, 15s);
        ASSERT_EQ(lines.size(), 1u) << "after " << ::testing::PrintToString(seenByAlice);
        seenByAlice.push_back(lines.front());
        (lines.front().starts_with(said("bob", "")) ? fromTwo : fromOne).push_back(lines.front());
    }
    EXPECT_EQ(receiveLines(*bob, seenByAlice.size()), seenByAlice);
    std::size_t flooded = 0;
    const std::string floodLeft = said("flood", kLeftText);
    while (fault.inRedis && fromOne.size() > sentOnOne.size() + 1 &&
           fromOne[sentOnOne.size()].starts_with(said("flood", "")) && fromOne[sentOnOne.size()] != floodLeft) {
        sentOnOne.push_back(said("flood", std::to_string(flooded++)));
    }
    if (fault.inRedis) {
        sentOnOne.push_back(floodLeft); // once, whether Redis kept the room's presence or lost it
    }
    sentOnOne.push_back(said("alice", "after"));
    EXPECT_EQ(fromOne, sentOnOne);
    EXPECT_EQ(fromTwo, sentOnTwo);
    if (fault.inRedis) {
        EXPECT_GE(flooded, kHold - 6u) << "the flood's lines up to the hold's bound arrive, in order";
        EXPECT_LE(flooded, kHold - 5u);
    }
    ASSERT_TRUE(bob->send(line("bob", "last")));
    EXPECT_EQ(receiveLines(*alice, 2, 2s), std::vector<std::string>{said("bob", "last")}) << "nothing comes twice";

    for (const auto& node : m_nodes) {
        if (fault.inRedis) {
            EXPECT_EQ(countInFile(node->log(), "relay: Redis at"), 2u) << node->log() << ": outage and recovery";
            EXPECT_EQ(countInFile(node->log(), "lost the room's stream"), fault.redisKeepsData ? 0u : 1u)
                << node->log();
        } else {
            EXPECT_EQ(countInFile(node->log(), "user database unreachable"),
                      countInFile(node->log(), "user database reachable again"))
                << node->log();
        }
    }
    EXPECT_EQ(countInFile(node(1).log(), "user database unreachable"), fault.inRedis ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, ClusterFaults,
                         ::testing::Values(Fault{"RedisRestartsEmpty", true, false},
                                           Fault{"RedisRestartsWithItsData", true, true},
                                           Fault{"PostgresStopsAndStarts", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cluster, KilledNodeIsTakenOutAndOthersLoseNothing) {
    // The leaves the survivors announce for the killed node's users come when they come: another test's.
    ASSERT_NO_FATAL_FAILURE(startCluster(3, {"--proxy-protocol", "--presence", "off"}));
    HaproxyEngine haproxy(m_folder, {node(0).port(), node(1).port(), node(2).port()});
    ASSERT_TRUE(haproxy.start()) << "see " << m_folder << "/haproxy.log";

    // Round robin: two users per node, each from a loopback address of its own, which the nodes must log.
    std::vector<std::unique_ptr<TestClient>> users;
    for (int i = 0; i < 6; ++i) {
        const std::string source = "127.0.0." + std::to_string(10 + i);
        users.push_back(greeted(haproxy.port(), source.c_str()));
        ASSERT_TRUE(users.back() && users.back()->registerUser("u" + std::to_string(i), "pw"));
    }
    // A node logs a sign-in just after its "ok" is out: give the last ones a moment to reach the logs.
    eventually(
        [this] {
            return std::ranges::all_of(m_nodes,
                                       [](const auto& n) { return countInFile(n->log(), "signed in as") >= 2; });
        },
        2s);
    for (int i = 0; i < 6; ++i) {
        // "connected" and "signed in", with the address from the header, not the proxy's.
        std::size_t lines = 0;
        for (const auto& node : m_nodes) {
            lines += countInFile(node->log(), "127.0.0." + std::to_string(10 + i) + ":");
        }
        EXPECT_EQ(lines, 2u) << "u" << i;
    }
    for (const auto& node : m_nodes) {
        EXPECT_EQ(countInFile(node->log(), "signed in as"), 2u) << node->log();
    }

    node(2).kill();
    std::vector<std::size_t> survivors;
    std::vector<std::size_t> dropped;
    for (std::size_t i = 0; i < users.size(); ++i) {
        ASSERT_TRUE(users[i]->send(line("u" + std::to_string(i), "still here?")));
    }
    for (std::size_t i = 0; i < users.size(); ++i) {
        // A dropped user's connection ends; a survivor gets every survivor's line.
        const auto lines = receiveLines(*users[i], 4, 3s);
        (lines.size() == 4 ? survivors : dropped).push_back(i);
        if (lines.size() != 4) {
            EXPECT_TRUE(users[i]->readUntilClosed(1s).has_value()) << "u" << i;
        }
    }
    ASSERT_EQ(survivors.size(), 4u);
    ASSERT_EQ(dropped.size(), 2u);

    // Within a few seconds HAProxy sends new connections to the living nodes only: every attempt succeeds.
    std::this_thread::sleep_for(1s);
    for (const std::size_t i : dropped) {
        users[i] = greeted(haproxy.port());
        ASSERT_TRUE(users[i] && users[i]->authenticate("u" + std::to_string(i), "pw"));
    }
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(greeted(haproxy.port())) << "connection " << i << " after the node was taken out";
    }
    const std::string back = "u" + std::to_string(dropped[0]);
    ASSERT_TRUE(users[dropped[0]]->send(line(back, "back")));
    for (const auto& user : users) {
        EXPECT_EQ(receiveLines(*user, 1), std::vector<std::string>{said(back, "back")});
    }

    // A node behind a proxy refuses a connection that does not begin with a PROXY header.
    TestClient direct;
    ASSERT_TRUE(direct.connect(m_nodes[0]->port()));
    ASSERT_TRUE(direct.send("ENTRY\0ENTRY\0ENTRY\0"s));
    EXPECT_EQ(direct.readUntilClosed(2s), 0u);
}

TEST_F(Cluster, ScriptServesPlainAndTlsThroughHaproxy) {
    // scripts/cluster.sh as a user runs it, on ports and in a folder of the test's (the postgres user must reach it).
    std::filesystem::permissions(m_folder, std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
    const std::string state = m_folder + "/state";
    const std::uint16_t plainPort = freePort();
    const std::uint16_t tlsPort = freePort();
    std::vector<std::string> env = {
        "/usr/bin/env", "VESMIRA_CLUSTER_STATE=" + state, "VESMIRA_SERVER=" VESMIRA_SERVER_BINARY,
        "VESMIRA_CLUSTER_PORT=" + std::to_string(plainPort), "VESMIRA_CLUSTER_TLS_PORT=" + std::to_string(tlsPort),
        "VESMIRA_CLUSTER_REDIS_PORT=" + std::to_string(freePort()),
        "VESMIRA_CLUSTER_POSTGRES_PORT=" + std::to_string(freePort()),
        "VESMIRA_CLUSTER_NODE_PORTS=" + std::to_string(freePort()) + " " + std::to_string(freePort()) + " " +
            std::to_string(freePort()),
        // Sign-ins on two nodes reach the room in either order: not this test's.
        "VESMIRA_NODE_OPTIONS=--hash-cost min --presence off", "/bin/bash", VESMIRA_SOURCE_DIR "/scripts/cluster.sh"};
    const auto script = [&](const std::string& command) {
        ChildProcess run;
        std::vector<std::string> argv = env;
        argv.push_back(command);
        return run.start(argv, m_folder + "/cluster.log") ? run.wait(120s).value_or(-1) : -1;
    };
    struct Down {
        std::function<int(const std::string&)> script;
        ~Down() { script("down"); }
    } down{script};
    ASSERT_EQ(script("up"), 0) << TempDir::read(m_folder + "/cluster.log");

    TestClient secure;
    ASSERT_TRUE(secure.connectTls(tlsPort));
    EXPECT_EQ(secure.peerFingerprint(), TestCertificate::fingerprintOf(state + "/tls/cert.pem"));
    EXPECT_NE(TempDir::read(m_folder + "/cluster.log").find(secure.peerFingerprint()), std::string::npos);
    EXPECT_EQ(secure.receive(5), "Hello");
    ASSERT_TRUE(secure.registerUser("secure", "pw"));
    auto plain = greeted(plainPort);
    ASSERT_TRUE(plain && plain->registerUser("plain", "pw"));
    ASSERT_TRUE(secure.send(line("secure", "hello")));
    ASSERT_TRUE(plain->send(line("plain", "hi")));
    for (TestClient* user : {&secure, plain.get()}) {
        std::vector<std::string> lines = receiveLines(*user, 2);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, (std::vector<std::string>{said("plain", "hi"), said("secure", "hello")}));
    }
}

} // namespace
} // namespace vesmira
