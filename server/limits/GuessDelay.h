#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vesmira {

// Slows password guessing without locking anyone out. Each failed authentication counts against the account
// and against the client's address; the refusal is held back for a delay that doubles with each failure of
// either (capped), and until that delay has passed, the next check for the same account or from the same
// address waits too, so that reconnecting instead of waiting for the refusal gains nothing.
//
// A success clears the account's count; an address's count clears only after a quiet period (a guesser
// signing in to an account of its own must not clear the slowing of its guesses at others). Counts of keys
// quiet for that long are forgotten, so memory stays bounded by the failures of the last quiet period, and by
// kMaxKeys at most.
//
// Not thread-safe: LocalGuessGate calls it under its lock. Time comes in as arguments, so tests need no clock of
// their own.
class GuessDelay {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        std::chrono::milliseconds first{250};    // after the first failure
        std::chrono::milliseconds cap{4000};     // never more
        std::chrono::milliseconds quiet{600000}; // a key with no failure for this long starts afresh
    };

    static constexpr std::size_t kMaxKeys = 100000;
    // Quiet keys are swept this often (and when the map is full, at most once a second).
    static constexpr std::chrono::minutes kSweepInterval{1};

    GuessDelay() = default;
    explicit GuessDelay(Settings settings) : m_settings(settings) {}

    // An empty account is none: a check that counts against the address alone (a registration probe).

    // When a password check for `account` from `address` may start: now, or later while an earlier refusal for
    // either is being held back.
    Clock::time_point notBefore(std::string_view account, std::string_view address, Clock::time_point now);
    // Counts a failure; returns how long to hold back its refusal.
    std::chrono::milliseconds failed(std::string_view account, std::string_view address, Clock::time_point now);
    void succeeded(std::string_view account);
    // Whether failures count against `address` (until its quiet period has passed).
    bool addressFailed(std::string_view address, Clock::time_point now) {
        return find(addressKey(address), now) != nullptr;
    }

    std::size_t keys() const { return m_entries.size(); }
    // The keys of an account and of an address, which cannot collide ('u' or 'a' first); "" for no account.
    static std::string accountKey(std::string_view account);
    static std::string addressKey(std::string_view address);
    const Settings& settings() const { return m_settings; }

private:
    struct Entry {
        unsigned failures = 0;
        Clock::time_point last{};  // the latest failure
        Clock::time_point until{}; // its refusal is held back until then
    };

    Entry* find(const std::string& key, Clock::time_point now);
    Entry& record(const std::string& key, Clock::time_point now);
    void forgetQuiet(Clock::time_point now);
    std::chrono::milliseconds delayFor(unsigned failures) const;

    Settings m_settings;
    // Accounts and addresses share one map; their keys cannot collide ('a' or 'u' first).
    std::unordered_map<std::string, Entry> m_entries;
    Entry m_overflow; // counts a failure whose key could not be remembered
    std::optional<Clock::time_point> m_swept;
};

} // namespace vesmira
