#pragma once

#include "server/limits/GuessDelay.h"
#include "server/limits/GuessGate.h"

#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace vesmira {

// The guess gate of one server: a GuessDelay and the checks in flight, in this process. Any thread.
//
// The checks of one account go to the addresses that wait for it in order: an address with no failures counted
// against it before those with some, the one waiting longest first among equals. A guesser's many connections, or
// many addresses, must not leave the owner, signing in from a clean address, to a lottery against all of them.
class LocalGuessGate final : public GuessGate {
public:
    // How soon a check that found another in flight asks again.
    static constexpr std::chrono::milliseconds kRetry{20};
    // A waiter that has not asked again this long after it was due has gone.
    static constexpr std::chrono::milliseconds kStaleWaiter{200};

    explicit LocalGuessGate(GuessDelay::Settings settings = {}) : m_delay(settings) {}

    Entry enter(std::string_view account, std::string_view address) override;
    std::chrono::milliseconds leave(std::string_view account, std::string_view address, Result result,
                                    const Entry& entry) override;
    // A failed check this gate did not admit (a shared gate's, whose Redis went away during it): it counts against
    // the account and the address as leave() counts it, and the checks in flight here stay so. How long to hold
    // back its refusal.
    std::chrono::milliseconds countFailure(std::string_view account, std::string_view address);

private:
    struct Waiter {
        GuessDelay::Clock::time_point since; // when it began to wait
        GuessDelay::Clock::time_point due;   // when it asks again
        bool failed = false;                 // failures count against its address
    };
    struct Turns {
        std::unordered_map<std::string, Waiter> waiting; // by address
    };

    void forgetGoneWaiters(GuessDelay::Clock::time_point now);

    std::mutex m_mutex;
    GuessDelay m_delay;
    std::unordered_set<std::string> m_inFlight;     // by GuessDelay's keys
    std::unordered_map<std::string, Turns> m_turns; // by account key, while its checks wait or run
    GuessDelay::Clock::time_point m_swept{};
};

} // namespace vesmira
