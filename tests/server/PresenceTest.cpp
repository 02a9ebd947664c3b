#include "ServerHarness.h"
#include "TestClient.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace vesmira {
namespace {

using namespace std::chrono_literals;

// Three users; the third leaves in one of the ways people leave. The two others hear of the third's sign-in, and
// of its leave exactly once, whichever way it went.
TEST(Presence, EachWayOfLeavingIsAnnouncedOnceAndEachSignInToTheOthers) {
    const std::string notice = left("carol").substr(0, 21); // unpadded, as the client's Exit sends it
    const std::string cut = "carol\x81\x46"
                            "cut";
    struct Way {
        const char* name;
        std::function<void(TestClient& carol)> leave;
        std::vector<std::string> heard; // by the others, in this order, then nothing until the next line
    };
    const std::vector<Way> ways = {
        {"the connection just ends (close box, crash)", [](TestClient& carol) { carol.close(); }, {left("carol")}},
        {"Exit: the client's own notice",
         [&](TestClient& carol) {
             carol.send(notice);
             carol.close();
         },
         {left("carol")}},
        {"half a line, then the end",
         [&](TestClient& carol) {
             carol.send(cut);
             carol.close();
         },
         {record(cut), left("carol")}},
        {"a line left incomplete: the server closes it",
         [](TestClient& carol) { carol.send("carol"); },
         {left("carol")}},
    };
    for (const Way& way : ways) {
        ServerHarness::Options options;
        options.settings.recordTimeout = 300ms;
        ServerHarness server(options);
        ASSERT_TRUE(server.running()) << server.error();
        auto alice = registered(server.port(), "alice");
        auto bob = registered(server.port(), "bob");
        ASSERT_TRUE(alice && bob);
        EXPECT_EQ(alice->receive(kRecordBytes), joined("bob"));
        auto carol = registered(server.port(), "carol");
        ASSERT_TRUE(carol);
        ASSERT_TRUE(bob->send(line("bob", "hi")));
        EXPECT_EQ(carol->receive(kRecordBytes), line("bob", "hi")) << "no line of its own sign-in";
        for (TestClient* other : {alice.get(), bob.get()}) {
            EXPECT_EQ(other->receive(kRecordBytes), joined("carol")) << way.name;
            EXPECT_EQ(other->receive(kRecordBytes), line("bob", "hi")) << way.name;
        }
        way.leave(*carol);
        for (TestClient* other : {alice.get(), bob.get()}) {
            for (const std::string& line : way.heard) {
                EXPECT_EQ(other->receive(kRecordBytes), line) << way.name;
            }
        }
        ASSERT_TRUE(alice->send(line("alice", "after")));
        for (TestClient* other : {alice.get(), bob.get()}) {
            EXPECT_EQ(other->receive(kRecordBytes), line("alice", "after")) << way.name << ": heard once";
        }
    }
}

TEST(Presence, OneIdOnTwoConnectionsJoinsOnceAndLeavesWithItsLast) {
    ServerHarness server;
    ASSERT_TRUE(server.running()) << server.error();
    auto alice = registered(server.port(), "alice");
    auto bob = registered(server.port(), "bob");
    auto bobToo = greeted(server.port());
    ASSERT_TRUE(alice && bob && bobToo && bobToo->authenticate("bob", "pw"));
    // The first exits with its own notice while the second is still signed in: the room hears nothing of it.
    ASSERT_TRUE(bob->send(left("bob").substr(0, 19)));
    bob->shutdownWrite();
    ASSERT_TRUE(bob->readUntilClosed().has_value());
    ASSERT_TRUE(alice->send(line("alice", "still two?")));
    EXPECT_EQ(alice->receive(kRecordBytes), joined("bob"));
    EXPECT_EQ(alice->receive(kRecordBytes), line("alice", "still two?"));
    bobToo->close();
    EXPECT_EQ(alice->receive(kRecordBytes), left("bob"));
}

} // namespace
} // namespace vesmira
