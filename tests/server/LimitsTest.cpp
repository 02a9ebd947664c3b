#include "ChildProcess.h"
#include "ServerHarness.h"
#include "TestClient.h"
#include "server/limits/ConnectionLimits.h"
#include "server/limits/LimitCounters.h"
#include "server/users/UserDirectory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vesmira {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;

// Accounts in memory whose password steps for IDs starting with "slow" wait until the test opens the gate: a
// password hash that takes as long as the test wants.
class GatedDirectory final : public UserDirectory {
public:
    Answer contains(std::string_view id) override {
        std::lock_guard lock(m_mutex);
        return answer(m_users.contains(std::string(id)));
    }
    Answer add(std::string_view id, std::string_view password, std::string_view) override {
        std::unique_lock lock(m_mutex);
        if (id.starts_with("slow")) {
            ++m_blocked;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_open; });
        }
        return answer(m_users.emplace(std::string(id), std::string(password)).second);
    }
    Answer checkPassword(std::string_view id, std::string_view password) override {
        std::lock_guard lock(m_mutex);
        const auto found = m_users.find(std::string(id));
        return answer(found != m_users.end() && found->second == password);
    }

    bool waitUntilBlocked(int count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] { return m_blocked == count; });
    }
    void open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, std::string> m_users;
    int m_blocked = 0;
    bool m_open = false;
};

TEST(Limits, SlowHashingHoldsUpNeitherChatNorTheQueue) {
    GatedDirectory directory;
    ServerHarness::Options options;
    options.users = &directory;
    options.workerThreads = 1;
    options.workerQueue = 1; // the second slow step fills the queue, the third waits for room
    options.settings.signInTimeout = 300ms;
    options.settings.presence = false; // the slow ones sign in in no set order: their joins would too
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    // Whatever happens below, the workers must not stay blocked when the server stops.
    const std::shared_ptr<void> openAtTheEnd(nullptr, [&directory](void*) { directory.open(); });
    auto alice = registered(server.port(), "alice");
    auto bob = registered(server.port(), "bob");
    ASSERT_TRUE(alice && bob);

    std::vector<std::unique_ptr<TestClient>> slow;
    for (const std::string id : {"slow1", "slow2", "slow3"}) {
        slow.push_back(greeted(server.port()));
        ASSERT_TRUE(slow.back());
        ASSERT_EQ(slow.back()->exchange("ENTRY\0"s), "ok");
        ASSERT_EQ(slow.back()->exchange(id), "ok");
    }
    for (const auto& client : slow) {
        ASSERT_TRUE(client->send("pw"));
    }
    ASSERT_TRUE(directory.waitUntilBlocked(1)) << "the first slow step is on the only worker";
    ASSERT_TRUE(alice->send(line("alice", "while they hash")));
    for (TestClient* reader : {alice.get(), bob.get()}) {
        EXPECT_EQ(reader->receive(kRecordBytes), line("alice", "while they hash"));
    }
    // Longer than the sign-in time-out: the time a step spends with the server is not the client's.
    std::this_thread::sleep_for(600ms);
    for (const auto& client : slow) {
        EXPECT_EQ(client->receive(2, 0ms), std::nullopt) << "no reply before the hash is done";
    }
    directory.open();
    for (const auto& client : slow) {
        EXPECT_EQ(client->receive(2).value_or("<nothing>"), "ok");
    }
    ASSERT_TRUE(bob->send(line("bob", "welcome")));
    for (const auto& client : slow) {
        EXPECT_EQ(client->receive(kRecordBytes), line("bob", "welcome"));
    }
}

TEST(Limits, ExcessConnectionsAreClosedAndAnHonestClientIsServed) {
    struct Case {
        const char* name;
        std::size_t maxPending;
        std::size_t maxPerAddress;
        std::vector<const char*> sources; // silent connections, in this order
        std::vector<bool> greeted;        // whether each was let in (greeted) at all
        std::vector<bool> closed;         // whether each was closed by the time the honest client signed in
        Limit limit;
    };
    const std::vector<Case> cases = {
        {"per address",
         100,
         2,
         {"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.3"},
         {true, true, false, true},
         {false, false, true, false},
         Limit::PerAddress},
        // The honest client's own connection takes the place of the oldest one.
        {"pending budget", 2, 32, {"127.0.0.2", "127.0.0.3"}, {true, true}, {true, false}, Limit::PendingBudget},
    };
    for (const Case& c : cases) {
        ServerHarness::Options options;
        options.settings.maxPending = c.maxPending;
        options.settings.maxPerAddress = c.maxPerAddress;
        ServerHarness server(options);
        ASSERT_TRUE(server.running()) << server.error();
        std::vector<std::unique_ptr<TestClient>> silent;
        for (std::size_t i = 0; i < c.sources.size(); ++i) {
            silent.push_back(std::make_unique<TestClient>());
            ASSERT_TRUE(silent.back()->connect(server.port(), 0, c.sources[i]));
            EXPECT_EQ(silent.back()->receive(5).has_value(), c.greeted[i]) << c.name << " #" << i;
        }
        auto honest = registered(server.port(), "honest");
        ASSERT_TRUE(honest) << c.name;
        ASSERT_TRUE(honest->send(line("honest", "hello")));
        EXPECT_EQ(honest->receive(kRecordBytes), line("honest", "hello")) << c.name;
        for (std::size_t i = 0; i < silent.size(); ++i) {
            const auto closed = silent[i]->readUntilClosed(c.closed[i] ? TestClient::kDeadline : 100ms);
            EXPECT_EQ(closed.has_value(), c.closed[i]) << c.name << " #" << i;
        }
        EXPECT_EQ(server.limitCounters().value(c.limit), 1u) << c.name;
    }
}

TEST(Limits, WholeSignInAndIncompleteRecordsTimeOut) {
    ServerHarness::Options options;
    options.settings.signInTimeout = 300ms;
    options.settings.recordTimeout = 300ms;
    options.settings.maxRefusals = 1000;
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    auto alice = registered(server.port(), "alice");
    auto bob = registered(server.port(), "bob");
    ASSERT_TRUE(alice && bob);
    ASSERT_TRUE(alice->send(line("alice", "cut short").substr(0, 200)));
    // Talking all the time does not stretch the sign-in: only signing in ends it.
    auto chatty = greeted(server.port());
    ASSERT_TRUE(chatty);
    EXPECT_TRUE(eventually([&] { return chatty->exchange("x").empty(); }, 5s));
    EXPECT_EQ(alice->readUntilClosed(), kRecordBytes) << "bob's sign-in, then the end";
    ASSERT_TRUE(bob->send(line("bob", "still here")));
    EXPECT_EQ(bob->receive(kRecordBytes), left("alice"));
    EXPECT_EQ(bob->receive(kRecordBytes), line("bob", "still here")) << "nothing of alice's half record";
    EXPECT_EQ(server.limitCounters().value(Limit::SignInTimeout), 1u);
    EXPECT_EQ(server.limitCounters().value(Limit::RecordTimeout), 1u);
}

// A person at the sign-in dialog (choosing an ID, retyping a wrong password) has the long time; a client that has
// begun a sign-in, the short one.
TEST(Limits, TheDialogHasHumanTimeAndTheExchangeItsShortOne) {
    ServerHarness::Options options;
    options.settings.signInTimeout = 300ms;
    options.settings.dialogTimeout = 2s;
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    ASSERT_TRUE(registered(server.port(), "alice"));
    auto slowTypist = greeted(server.port());
    auto retrying = greeted(server.port());
    auto begunOnly = greeted(server.port());
    auto silent = greeted(server.port());
    ASSERT_TRUE(slowTypist && retrying && begunOnly && silent);
    ASSERT_EQ(retrying->exchange("JUDGE\0"s), "ok");
    ASSERT_EQ(retrying->exchange("USER:alice"), "ok");
    ASSERT_EQ(retrying->exchange("PASSWORD:wrong"), "ng");
    ASSERT_EQ(begunOnly->exchange("ENTRY\0"s), "ok");
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(begunOnly->readUntilClosed(100ms).has_value()) << "closed at the sign-in time-out";
    EXPECT_TRUE(slowTypist->registerUser("sakura", "pw"));
    EXPECT_TRUE(retrying->authenticate("alice", "pw"));
    EXPECT_EQ(silent->readUntilClosed(100ms), std::nullopt) << "still open";
    EXPECT_TRUE(silent->readUntilClosed(3s).has_value()) << "closed at the dialog time-out";
    EXPECT_TRUE(eventually([&] { return server.limitCounters().value(Limit::SignInTimeout) == 2u; }, 1s));
}

TEST(Limits, AFlooderIsReadAtTheLineRateAndCostsNoReaderALine) {
    // The default flood control, 10 lines a second after 30 at once, against 4,000 a second; a reader at 200 KB/s
    // (400 lines a second, far above any chat) and a user talking every half second.
    using Clock = std::chrono::steady_clock;
    ServerHarness::Options options;
    options.settings.presence = false; // only lines, which the reader checks one by one
    auto server = std::make_unique<ServerHarness>(options);
    ASSERT_TRUE(server->running()) << server->error();
    const Clock::time_point start = Clock::now();
    auto a = registered(server->port(), "a");
    auto b = registered(server->port(), "b");
    auto c = registered(server->port(), "c");
    ASSERT_TRUE(a && b && c);
    constexpr int kFlood = 16000;
    std::thread flooder([&] {
        for (int n = 0; n < kFlood && a->send(line("a", std::to_string(n)), 10s); ++n) {
            std::this_thread::sleep_until(start + n * 250us);
        }
    });
    std::atomic<bool> reading = true;
    std::string seenByB;
    bool bCutOff = false;
    std::thread reader([&] {
        for (Clock::time_point next = Clock::now(); reading; next += 100ms) {
            const auto bytes = b->receiveSome(20000, 0ms);
            if (!bytes) {
                bCutOff = true;
                return;
            }
            seenByB += *bytes;
            std::this_thread::sleep_until(next);
        }
    });
    for (int n = 0; n < 8; ++n) {
        ASSERT_TRUE(c->send(line("c", std::to_string(n))));
        std::this_thread::sleep_for(500ms);
    }
    std::this_thread::sleep_for(500ms);
    reading = false;
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    server.reset(); // ends the flooder's last send
    flooder.join();

    EXPECT_FALSE(bCutOff) << "the reader was dropped";
    int nextA = 0;
    int nextC = 0;
    for (std::size_t at = 0; at + kRecordBytes <= seenByB.size(); at += kRecordBytes) {
        const std::string got = seenByB.substr(at, kRecordBytes);
        int& next = got.starts_with("a") ? nextA : nextC;
        ASSERT_EQ(got, line(got.substr(0, 1), std::to_string(next))) << "each sender's lines whole and in order";
        ++next;
    }
    EXPECT_EQ(nextC, 8) << "every line of c";
    EXPECT_GE(nextA, 30 + 10 * (seconds - 1.5)) << "a at the allowed rate";
    EXPECT_LE(nextA, 30 + 10 * seconds + 1) << "a no faster than that";
}

TEST(Limits, WithoutFloodControlSlowReadersMakeTheSenderWaitInsteadOfBeingDropped) {
    // Two slow readers (4 KiB at a time, every 20 ms), and a sender that writes 500 KB at once and reads its own
    // copies: far more than the readers' send queues hold.
    ServerHarness::Options options;
    options.settings.lineRate = 0;
    options.settings.maxQueuedBytes = 256 * kRecordBytes;
    options.settings.presence = false;
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    auto sender = registered(server.port(), "sender");
    std::vector<std::unique_ptr<TestClient>> readers;
    for (const char* id : {"r1", "r2"}) {
        readers.push_back(std::make_unique<TestClient>());
        ASSERT_TRUE(readers.back()->connect(server.port(), 4096) && readers.back()->receive(5) == "Hello" &&
                    readers.back()->registerUser(id, "pw"));
    }
    ASSERT_TRUE(sender);
    std::string lines;
    for (int n = 0; n < 1000; ++n) {
        lines += line("sender", std::to_string(n));
    }
    std::vector<std::string> received(readers.size() + 1);
    std::vector<std::thread> threads;
    threads.emplace_back([&] { received[0] = sender->receive(lines.size(), 20s).value_or(""); });
    for (std::size_t i = 0; i < readers.size(); ++i) {
        threads.emplace_back([&, i] {
            while (received[i + 1].size() < lines.size()) {
                const auto bytes = readers[i]->receiveSome(20000, 100ms);
                if (!bytes) {
                    return;
                }
                received[i + 1] += *bytes;
                std::this_thread::sleep_for(20ms);
            }
        });
    }
    EXPECT_TRUE(sender->send(lines, 20s));
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(server.overflowDrops(), 0u);
    for (std::size_t i = 0; i < received.size(); ++i) {
        EXPECT_TRUE(received[i] == lines) << "member " << i << " got " << received[i].size() << " bytes";
    }
}

TEST(Limits, CountsByAddressWithMappedIpv4AsIpv4) {
    ConnectionLimits limits({3, 2, 2});
    const auto v4 = asio::ip::make_address("192.0.2.1");
    const auto mapped = asio::ip::make_address("::ffff:192.0.2.1");
    const auto other = asio::ip::make_address("2001:db8::1");
    using Decision = ConnectionLimits::Decision;
    EXPECT_EQ(limits.check(v4), Decision::Admit);
    limits.add(v4);
    limits.add(mapped);
    EXPECT_EQ(limits.check(v4), Decision::RefusePerAddress);
    EXPECT_EQ(limits.check(other), Decision::AdmitAfterEvicting);
    limits.signedIn();
    limits.add(other);
    EXPECT_EQ(limits.check(other), Decision::RefuseTotal);
    limits.remove(mapped, true);
    EXPECT_EQ(limits.fromAddress(v4), 1u);
    EXPECT_EQ(limits.check(other), Decision::Admit);
    EXPECT_EQ(limits.pending(), 1u);
}

} // namespace
} // namespace vesmira
