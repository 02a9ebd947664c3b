#include "server/limits/GuessDelay.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesmira {
namespace {

using namespace std::chrono_literals;
using Clock = GuessDelay::Clock;

TEST(GuessDelay, DoublesPerFailureOfTheAccountOrTheAddressUpToTheCap) {
    struct Attempt {
        const char* account;
        const char* address;
        std::chrono::milliseconds delay;
    };
    // One guesser at one account, then the same address spreading over other accounts, then another address
    // at the first account: each is slowed by whichever of its two counts is higher.
    const std::vector<Attempt> attempts = {
        {"alice", "10.0.0.1", 250ms},  {"alice", "10.0.0.1", 500ms},  {"alice", "10.0.0.1", 1000ms},
        {"alice", "10.0.0.1", 2000ms}, {"alice", "10.0.0.1", 4000ms}, {"alice", "10.0.0.1", 4000ms},
        {"bob", "10.0.0.1", 4000ms},   {"carol", "10.0.0.1", 4000ms}, {"alice", "10.0.0.2", 4000ms},
        {"dave", "10.0.0.3", 250ms},
    };
    GuessDelay delay;
    Clock::time_point now{};
    for (const Attempt& attempt : attempts) {
        now += 5s; // each refusal has been given before the next attempt
        EXPECT_EQ(delay.failed(attempt.account, attempt.address, now), attempt.delay)
            << attempt.account << " from " << attempt.address;
    }
}

TEST(GuessDelay, NextCheckWaitsForTheRefusalSoReconnectingGainsNothing) {
    GuessDelay delay;
    const Clock::time_point t0{};
    delay.failed("alice", "10.0.0.1", t0);
    delay.failed("alice", "10.0.0.1", t0 + 1s); // held back 500 ms, to t0 + 1.5 s
    const Clock::time_point now = t0 + 1100ms;
    EXPECT_EQ(delay.notBefore("alice", "10.0.0.9", now), t0 + 1500ms) << "the account, from anywhere";
    EXPECT_EQ(delay.notBefore("bob", "10.0.0.1", now), t0 + 1500ms) << "the address, at any account";
    EXPECT_EQ(delay.notBefore("bob", "10.0.0.9", now), now) << "neither";
    EXPECT_EQ(delay.notBefore("alice", "10.0.0.1", t0 + 2s), t0 + 2s) << "once the refusal is out";
}

TEST(GuessDelay, SuccessClearsTheAccountAndQuietClearsEverything) {
    GuessDelay delay;
    Clock::time_point now{};
    for (int i = 0; i < 3; ++i) {
        delay.failed("alice", "10.0.0.1", now += 5s);
    }
    delay.succeeded("alice");
    EXPECT_EQ(delay.failed("alice", "10.0.0.2", now += 5s), 250ms) << "the account starts afresh";
    EXPECT_EQ(delay.failed("bob", "10.0.0.1", now += 5s), 2000ms)
        << "an address's count survives a success: signing in to one's own account must not clear it";

    EXPECT_GT(delay.keys(), 0u);
    now += delay.settings().quiet;
    EXPECT_EQ(delay.notBefore("bob", "10.0.0.1", now), now);
    EXPECT_EQ(delay.failed("bob", "10.0.0.1", now), 250ms) << "after a quiet period both start afresh";
    EXPECT_EQ(delay.keys(), 2u) << "quiet keys are forgotten";
}

} // namespace
} // namespace vesmira
