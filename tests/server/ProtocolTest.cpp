#include "ChildProcess.h"
#include "ServerHarness.h"
#include "TestClient.h"
#include "server/limits/LimitCounters.h"
#include "server/metrics/ServerStats.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vesmira {
namespace {

using namespace std::string_literals;

class ProtocolTest : public ::testing::Test {
protected:
    void startServer(ServerSettings settings = {}) {
        m_server = std::make_unique<ServerHarness>(ServerHarness::Options{settings});
        ASSERT_TRUE(m_server->running()) << m_server->error();
    }
    void SetUp() override { startServer(); }

    // A connection that has been greeted and is ready for its first sign-in message.
    std::unique_ptr<TestClient> connect(int receiveBufferBytes = 0) {
        auto client = std::make_unique<TestClient>();
        EXPECT_TRUE(client->connect(m_server->port(), receiveBufferBytes));
        EXPECT_EQ(client->receive(5).value_or("<nothing>"), "Hello");
        return client;
    }
    std::unique_ptr<TestClient> registered(const std::string& id, int receiveBufferBytes = 0) {
        auto client = connect(receiveBufferBytes);
        EXPECT_TRUE(client->registerUser(id, "pw-" + id)) << id;
        return client;
    }

    std::unique_ptr<ServerHarness> m_server;
};

TEST_F(ProtocolTest, FieldLimitsAndDuplicateIds) {
    struct Case {
        std::string id;
        std::string password;
        std::string replies; // to ENTRY, the ID and (if the ID was accepted) the password
    };
    const std::vector<Case> cases = {
        {std::string(44, 'a'), "pw", "okokok"},
        {std::string(45, 'b'), "", "okng"},
        {std::string(44, 'a'), "", "okng"}, // taken by the first case
        {"c", std::string(40, 'p'), "okokok"},
        {"d", std::string(41, 'p'), "okokng"},
        {"d", "pw", "okokok"}, // the refused password registered nothing
        // An ID must name its lines: no "：" on a character boundary, no lead byte left without its second half.
        {"hanako\x81\x46I resign", "pw", "okng"},
        {"\x82", "pw", "okng"},
        {"\x88\x81\x46", "pw", "okokok"}, // 88 81 is one character: no colon
    };
    for (const Case& c : cases) {
        auto client = connect();
        std::string replies = client->exchange("ENTRY\0"s);
        replies += client->exchange(c.id);
        if (replies == "okok") {
            replies += client->exchange(c.password);
        }
        EXPECT_EQ(replies, c.replies) << "ID of " << c.id.size() << " bytes, password of " << c.password.size();
    }
}

TEST_F(ProtocolTest, AuthenticationRunsAndRetries) {
    registered("alice");
    auto client = connect();
    EXPECT_EQ(client->exchange("JUDGE\0"s), "ok");
    EXPECT_EQ(client->exchange("USER:mallory"), "ng");
    EXPECT_EQ(client->exchange("JUDGE\0"s), "ok");
    EXPECT_EQ(client->exchange("USER:alice"), "ok");
    EXPECT_EQ(client->exchange("PASSWORD:wrong"), "ng");
    EXPECT_EQ(client->exchange("PASSWORD:pw-alice"), "ng") << "a refusal ends the run";
    ASSERT_TRUE(client->authenticate("alice", "pw-alice"));
    ASSERT_TRUE(client->send(line("alice", "signed in")));
    EXPECT_EQ(client->receive(kRecordBytes), line("alice", "signed in"));
}

TEST_F(ProtocolTest, RelaysToEveryoneInOrderWhateverTheSegmentation) {
    auto alice = registered("alice");
    auto bob = registered("bob");
    EXPECT_EQ(alice->receive(kRecordBytes), joined("bob"));
    const std::vector<std::string> records = {line("alice", "one"), line("alice", "two\x82\xa0"),
                                              line("alice", "three")};
    const std::string stream = records[0] + records[1] + records[2];
    // Split inside the first record, then the rest of it merged with the start of the next, then the remainder.
    for (const auto& [offset, size] :
         std::vector<std::pair<std::size_t, std::size_t>>{{0, 1}, {1, 200}, {201, 550}, {751, 749}}) {
        ASSERT_TRUE(alice->send(std::string_view(stream).substr(offset, size)));
    }
    for (TestClient* reader : {alice.get(), bob.get()}) {
        for (const std::string& expected : records) {
            EXPECT_EQ(reader->receive(kRecordBytes), expected);
        }
    }
}

TEST_F(ProtocolTest, LeaveNoticeGoesToTheOthersOnly) {
    auto alice = registered("alice");
    auto carol = registered("carol");
    auto bob = registered("bob");
    EXPECT_EQ(alice->receive(kRecordBytes), joined("carol"));
    for (TestClient* other : {alice.get(), carol.get()}) {
        EXPECT_EQ(other->receive(kRecordBytes), joined("bob"));
    }
    ASSERT_TRUE(bob->send(said("bob", kLeftText)));
    bob->shutdownWrite();
    // Bob stays readable after his half-close: he must get nothing but the end of the stream.
    EXPECT_EQ(bob->readUntilClosed(), 0u);
    for (TestClient* other : {alice.get(), carol.get()}) {
        EXPECT_EQ(other->receive(kRecordBytes), left("bob"));
    }
}

TEST_F(ProtocolTest, LeaveNoticeSurvivesAResetFromUnreadData) {
    // The client's own notice, which the server's would otherwise stand in for.
    ServerSettings settings;
    settings.presence = false;
    startServer(settings);
    auto alice = registered("alice");
    auto bob = registered("bob");
    ASSERT_TRUE(bob->send(line("bob", "unread by bob")));
    EXPECT_EQ(alice->receive(kRecordBytes), line("bob", "unread by bob"));
    // Closing with his own record still unread makes bob's kernel reset the connection right after the notice.
    ASSERT_TRUE(bob->send(said("bob", kLeftText)));
    bob->close();
    EXPECT_EQ(alice->receive(kRecordBytes), left("bob"));
}

TEST_F(ProtocolTest, LeaveNoticeSurvivesAResetWhileChatIsOnItsWay) {
    // Bob reads nothing, so the server is still writing chat to him when he leaves: the reset fails that write
    // before his notice is read, and the notice must be relayed all the same. The chat is more than the kernel
    // buffers between them hold, and less than the send queue.
    ServerSettings settings;
    settings.maxQueuedBytes = 16 << 20;
    settings.lineRate = 0;
    settings.presence = false; // the client's own notice, which the server's would otherwise stand in for
    startServer(settings);
    auto alice = registered("alice");
    auto bob = registered("bob", 4096);
    std::string chat;
    for (int n = 0; n < 16000; ++n) {
        chat += line("alice", std::to_string(n));
    }
    // Alice reads her copies as she sends: a room where most members stop reading makes the server wait.
    std::optional<std::string> echoed;
    std::thread reader([&] { echoed = alice->receive(chat.size(), std::chrono::seconds(20)); });
    ASSERT_TRUE(alice->send(chat));
    reader.join();
    ASSERT_TRUE(echoed == chat);
    ASSERT_TRUE(bob->send(said("bob", kLeftText)));
    bob->close();
    EXPECT_EQ(alice->receive(kRecordBytes), left("bob"));
}

TEST_F(ProtocolTest, LinesAreRelayedOnlyInTheirSendersName) {
    auto hanako = registered("hanako");
    auto mallory = registered("mallory");
    auto reader = registered("reader");
    struct Case {
        TestClient* from;
        std::string sent;
        std::string relayed; // empty: nothing
    };
    const std::vector<Case> cases = {
        {mallory.get(), line("hanako", "I resign"), ""},
        {mallory.get(),
         line("mallory", "hi\0hanako\x81\x46"
                         "forged"s),
         line("mallory", "hi")},
        {mallory.get(), record("no name at all"), ""},
        {mallory.get(), line("malloryX", "close, but not mine"), ""},
        {hanako.get(), line("hanako", "typed\r\nover two lines"), line("hanako", "typed\r\nover two lines")},
        // A leave notice in another's name at the end of the stream: the room hears of mallory's own leave only.
        {mallory.get(), said("hanako", kLeftText), left("mallory")},
        {hanako.get(), line("hanako", "still here"), line("hanako", "still here")},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.from->send(c.sent));
        if (c.sent.ends_with(said("", kLeftText))) {
            c.from->shutdownWrite();
            EXPECT_TRUE(c.from->readUntilClosed().has_value());
        }
        // Case by case: two senders' lines reach the room in the order the server reads them, not the test's.
        if (!c.relayed.empty()) {
            EXPECT_EQ(reader->receive(c.relayed.size()), c.relayed);
        }
    }
    EXPECT_EQ(reader->receive(1, std::chrono::milliseconds(200)), std::nullopt) << "nothing else";
    using Refusal = ServerStats::LineRefusal;
    EXPECT_EQ(m_server->stats().linesRefused(Refusal::OtherName), 3u);
    EXPECT_EQ(m_server->stats().linesRefused(Refusal::NoName), 1u);

    // Refused lines keep the connection open, unless they keep coming.
    auto forger = registered("forger");
    for (int i = 0; i < 21; ++i) {
        ASSERT_TRUE(forger->send(line("hanako", std::to_string(i))));
    }
    EXPECT_TRUE(forger->readUntilClosed().has_value());
    EXPECT_TRUE(
        eventually([&] { return m_server->limitCounters().value(Limit::SenderName) == 1; }, std::chrono::seconds(2)));
}

TEST_F(ProtocolTest, HalfCloseOnARecordBoundaryRelaysNothing) {
    // Nothing from the client, that is: with presence on, the server announces the leave itself.
    ServerSettings settings;
    settings.presence = false;
    startServer(settings);
    auto alice = registered("alice");
    auto bob = registered("bob");
    ASSERT_TRUE(bob->send(line("bob", "bye")));
    bob->shutdownWrite();
    EXPECT_EQ(bob->readUntilClosed(), kRecordBytes) << "only his own last record";
    ASSERT_TRUE(alice->send(line("alice", "still here")));
    EXPECT_EQ(alice->receive(kRecordBytes), line("bob", "bye"));
    EXPECT_EQ(alice->receive(kRecordBytes), line("alice", "still here")) << "no notice in between";
}

TEST_F(ProtocolTest, GarbageIsRefusedAndOthersAreUndisturbed) {
    auto alice = registered("alice");
    auto intruder = connect();
    for (const std::string& garbage :
         {"ENTRY"s, "ENTRY\0junk"s, "\0"s, "USER:alice"s, std::string(512, '\xff'), record("not signed in")}) {
        EXPECT_EQ(intruder->exchange(garbage), "ng") << garbage.size() << " bytes";
    }
    EXPECT_TRUE(intruder->registerUser("late", "pw")) << "the connection can still sign in";
    EXPECT_EQ(alice->receive(kRecordBytes), joined("late"));
    ASSERT_TRUE(alice->send(line("alice", "ping")));
    EXPECT_EQ(alice->receive(kRecordBytes), line("alice", "ping"));
    EXPECT_EQ(intruder->receive(kRecordBytes), line("alice", "ping"));
}

TEST_F(ProtocolTest, TooManyRefusalsCloseTheConnection) {
    ServerSettings settings;
    settings.maxRefusals = 3;
    startServer(settings);
    auto client = connect();
    EXPECT_EQ(client->exchange("x"), "ng");
    EXPECT_EQ(client->exchange("y"), "ng");
    ASSERT_TRUE(client->send("z"));
    EXPECT_EQ(client->readUntilClosed(), 2u) << "the last ng, then the end";
}

TEST_F(ProtocolTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
    ServerSettings settings;
    settings.maxConnections = 1;
    startServer(settings);
    auto first = connect();
    TestClient second;
    ASSERT_TRUE(second.connect(m_server->port()));
    EXPECT_EQ(second.readUntilClosed(), 0u) << "closed without a greeting";
    EXPECT_TRUE(first->registerUser("alice", "pw")) << "the first connection is unaffected";
}

TEST_F(ProtocolTest, IdleBeforeSignInTimesOutButSignedInDoesNot) {
    ServerSettings settings;
    settings.signInTimeout = std::chrono::milliseconds(200);
    settings.dialogTimeout = std::chrono::milliseconds(200);
    startServer(settings);
    auto alice = registered("alice");
    auto idle = connect();
    auto halfway = connect();
    EXPECT_EQ(halfway->exchange("ENTRY\0"s), "ok");
    EXPECT_TRUE(idle->readUntilClosed().has_value());
    EXPECT_TRUE(halfway->readUntilClosed().has_value());
    // Alice signed in before the others connected, so her sign-in timer would have fired by now.
    ASSERT_TRUE(alice->send(line("alice", "awake")));
    EXPECT_EQ(alice->receive(kRecordBytes), line("alice", "awake"));
}

TEST_F(ProtocolTest, ReaderThatNeverReadsIsDroppedOthersKeepReceiving) {
    ServerSettings settings;
    settings.maxQueuedBytes = 64 * kRecordBytes;
    settings.lineRate = 0;
    settings.presence = false; // the stalled reader's leave would come in the middle of a batch
    startServer(settings);
    auto stalled = registered("stalled", 4096);
    auto alice = registered("alice");
    auto bob = registered("bob");
    // In lock-step batches, so only the stalled client falls behind; the kernel's buffers fill before the queue.
    constexpr std::size_t kBatch = 64;
    constexpr std::size_t kMaxRecords = 200'000;
    std::size_t sent = 0;
    while (m_server->overflowDrops() == 0 && sent < kMaxRecords) {
        std::string batch;
        for (std::size_t i = 0; i < kBatch; ++i) {
            batch += line("alice", std::to_string(sent + i));
        }
        ASSERT_TRUE(alice->send(batch));
        for (TestClient* reader : {alice.get(), bob.get()}) {
            const auto received = reader->receive(batch.size());
            ASSERT_TRUE(received) << "after " << sent << " records";
            ASSERT_EQ(*received, batch);
        }
        sent += kBatch;
    }
    ASSERT_EQ(m_server->overflowDrops(), 1u);
    const auto backlog = stalled->readUntilClosed(std::chrono::seconds(20));
    ASSERT_TRUE(backlog.has_value()) << "the stalled connection was closed";
    EXPECT_LT(*backlog, sent * kRecordBytes);
    ASSERT_TRUE(bob->send(line("bob", "after")));
    EXPECT_EQ(alice->receive(kRecordBytes), line("bob", "after"));
}

TEST_F(ProtocolTest, BurstFromManySendersReachesEveryReader) {
    // Every client sends all its records at once, and together they relay far more than one send queue holds:
    // readers that keep up must still get everything, however many records each of them is owed at a time.
    ServerSettings settings;
    settings.maxQueuedBytes = 64 * kRecordBytes;
    startServer(settings);
    constexpr int kClients = 12;
    constexpr int kRecordsEach = 24;
    constexpr std::size_t kOwed = std::size_t{kClients} * kRecordsEach * kRecordBytes;
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(registered("user" + std::to_string(i)));
    }
    for (int i = 0; i < kClients; ++i) {
        for (int later = i + 1; later < kClients; ++later) {
            ASSERT_EQ(clients[i]->receive(kRecordBytes), joined("user" + std::to_string(later)));
        }
    }
    // Each reader on its own thread, so that no connection waits for the test to get round to it.
    std::vector<std::optional<std::string>> received(kClients);
    std::vector<std::thread> readers;
    for (int i = 0; i < kClients; ++i) {
        readers.emplace_back([&, i] { received[i] = clients[i]->receive(kOwed, std::chrono::seconds(20)); });
    }
    for (int i = 0; i < kClients; ++i) {
        std::string burst;
        for (int n = 0; n < kRecordsEach; ++n) {
            burst += line("user" + std::to_string(i), std::to_string(n));
        }
        EXPECT_TRUE(clients[i]->send(burst));
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(m_server->overflowDrops(), 0u);
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(received[i].has_value()) << "user" << i << " was cut off";
        // Senders interleave at will, but each sender's records arrive in its own order.
        std::vector<int> next(kClients, 0);
        for (std::size_t offset = 0; offset < kOwed; offset += kRecordBytes) {
            const std::string got = received[i]->substr(offset, kRecordBytes);
            const int sender = std::atoi(got.c_str() + 4);
            ASSERT_TRUE(got.starts_with("user") && sender >= 0 && sender < kClients) << got;
            ASSERT_EQ(got, line("user" + std::to_string(sender), std::to_string(next[sender])));
            ++next[sender];
        }
    }
}

TEST_F(ProtocolTest, RaceForTheSameIdHasOneWinner) {
    // The ID step holds the ID for the first connection: the second is refused there, where its client says
    // the ID was not registered. A hold given up (the client left) frees the ID again.
    auto first = connect();
    auto second = connect();
    auto third = connect();
    ASSERT_EQ(first->exchange("ENTRY\0"s), "ok");
    ASSERT_EQ(first->exchange("dave"), "ok");
    ASSERT_EQ(second->exchange("ENTRY\0"s), "ok");
    EXPECT_EQ(second->exchange("dave"), "ng");
    first->close();
    ASSERT_EQ(third->exchange("ENTRY\0"s), "ok");
    std::string reply;
    for (int i = 0; i < 100 && reply != "ok"; ++i) { // the hold is given back on a worker, just after the close
        reply = third->exchange("dave");
        if (reply == "ng") {
            ASSERT_EQ(third->exchange("ENTRY\0"s), "ok");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ASSERT_EQ(reply, "ok");
    EXPECT_EQ(third->exchange("three"), "ok");
    auto later = connect();
    EXPECT_TRUE(later->authenticate("dave", "three"));
}

} // namespace
} // namespace vesmira
