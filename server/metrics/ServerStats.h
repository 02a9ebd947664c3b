#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesmira {

// What the server counts for its metrics, beyond the limits' own counters. Written on the relay thread (the hash
// times on the workers), read by the metrics endpoint's threads; plain relaxed atomics, so counting costs the
// relay next to nothing.
class ServerStats {
public:
    enum class Step { EntryId, EntryPassword, User, Password };
    enum class Result { Accepted, Refused, Unavailable };
    static constexpr std::size_t kSteps = 4;
    static constexpr std::size_t kResults = 3;
    // Upper bounds of the hash-time buckets, in seconds: the interactive cost takes tens of milliseconds alone,
    // seconds when many wait for the same cores.
    static constexpr std::array<double, 10> kHashBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

    // Why a signed-in user's line (or leave notice) was not relayed: it was in another user's name, or in none.
    enum class LineRefusal { OtherName, NoName };
    static constexpr std::size_t kLineRefusals = 2;
    static std::string_view lineRefusalName(LineRefusal reason) {
        return reason == LineRefusal::OtherName ? "other_name" : "no_name";
    }

    static std::string_view stepName(Step step) {
        static constexpr std::array<std::string_view, kSteps> kNames = {"entry_id", "entry_password", "user",
                                                                        "password"};
        return kNames[static_cast<std::size_t>(step)];
    }
    static std::string_view resultName(Result result) {
        static constexpr std::array<std::string_view, kResults> kNames = {"accepted", "refused", "unavailable"};
        return kNames[static_cast<std::size_t>(result)];
    }

    void setConnections(std::size_t pending, std::size_t signedIn) {
        m_pending.store(pending, std::memory_order_relaxed);
        m_signedIn.store(signedIn, std::memory_order_relaxed);
    }
    void relayed(std::size_t deliveries) {
        m_records.fetch_add(1, std::memory_order_relaxed);
        m_deliveries.fetch_add(deliveries, std::memory_order_relaxed);
    }
    void signInStep(Step step, Result result) {
        m_steps[static_cast<std::size_t>(step)][static_cast<std::size_t>(result)].fetch_add(1,
                                                                                            std::memory_order_relaxed);
    }
    void authenticationFailed() { m_authFailures.fetch_add(1, std::memory_order_relaxed); }
    void lineRefused(LineRefusal reason) {
        m_linesRefused[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
    }
    // This server found lines trimmed from the shared relay before it read them.
    void relayGap() { m_relayGaps.fetch_add(1, std::memory_order_relaxed); }
    void closedForAccount() { m_accountClosures.fetch_add(1, std::memory_order_relaxed); }
    // A connection's flood control began (true) or ended (false, after `held`) holding its reading back.
    void throttling(bool began, std::chrono::steady_clock::duration held = {});
    void tlsHandshake(bool completed) {
        (completed ? m_tlsCompleted : m_tlsFailed).fetch_add(1, std::memory_order_relaxed);
    }
    void setHashQueue(std::size_t depth) { m_hashQueue.store(depth, std::memory_order_relaxed); }
    // Any thread.
    void hashed(std::chrono::steady_clock::duration took);
    void setListening(bool listening) { m_listening.store(listening, std::memory_order_relaxed); }
    // The user database answered (or failed to answer) the server's periodic question.
    void databaseAnswered(bool answered, std::chrono::steady_clock::time_point now);

    std::size_t pending() const { return m_pending.load(std::memory_order_relaxed); }
    std::size_t signedIn() const { return m_signedIn.load(std::memory_order_relaxed); }
    std::uint64_t records() const { return m_records.load(std::memory_order_relaxed); }
    std::uint64_t deliveries() const { return m_deliveries.load(std::memory_order_relaxed); }
    std::uint64_t steps(Step step, Result result) const {
        return m_steps[static_cast<std::size_t>(step)][static_cast<std::size_t>(result)].load(
            std::memory_order_relaxed);
    }
    std::uint64_t authenticationFailures() const { return m_authFailures.load(std::memory_order_relaxed); }
    std::uint64_t linesRefused(LineRefusal reason) const {
        return m_linesRefused[static_cast<std::size_t>(reason)].load(std::memory_order_relaxed);
    }
    std::uint64_t relayGaps() const { return m_relayGaps.load(std::memory_order_relaxed); }
    std::uint64_t accountClosures() const { return m_accountClosures.load(std::memory_order_relaxed); }
    std::size_t throttled() const { return m_throttled.load(std::memory_order_relaxed); }
    double throttledSeconds() const {
        return static_cast<double>(m_throttledNanoseconds.load(std::memory_order_relaxed)) / 1e9;
    }
    // TLS handshakes that completed, and that failed or timed out.
    std::uint64_t tlsHandshakes(bool completed) const {
        return (completed ? m_tlsCompleted : m_tlsFailed).load(std::memory_order_relaxed);
    }
    std::size_t hashQueue() const { return m_hashQueue.load(std::memory_order_relaxed); }
    std::uint64_t hashCount(std::size_t bucket) const { return m_hashBuckets[bucket].load(std::memory_order_relaxed); }
    std::uint64_t hashTotal() const { return m_hashTotal.load(std::memory_order_relaxed); }
    double hashSeconds() const { return static_cast<double>(m_hashNanoseconds.load(std::memory_order_relaxed)) / 1e9; }
    // The database answered its last question, recently enough.
    bool databaseUp(std::chrono::steady_clock::time_point now) const;
    // Listening, and the database is up.
    bool healthy(std::chrono::steady_clock::time_point now) const {
        return m_listening.load(std::memory_order_relaxed) && databaseUp(now);
    }

    // The database counts as answering for this long after its last answer: the question is asked every second.
    static constexpr std::chrono::seconds kDatabaseFresh{5};

private:
    std::atomic<std::size_t> m_pending{0};
    std::atomic<std::size_t> m_signedIn{0};
    std::atomic<std::uint64_t> m_records{0};
    std::atomic<std::uint64_t> m_deliveries{0};
    std::array<std::array<std::atomic<std::uint64_t>, kResults>, kSteps> m_steps{};
    std::atomic<std::uint64_t> m_authFailures{0};
    std::atomic<std::uint64_t> m_accountClosures{0};
    std::atomic<std::uint64_t> m_relayGaps{0};
    std::array<std::atomic<std::uint64_t>, kLineRefusals> m_linesRefused{};
    std::atomic<std::size_t> m_throttled{0}; // connections held back by flood control now
    std::atomic<std::uint64_t> m_throttledNanoseconds{0};
    std::atomic<std::uint64_t> m_tlsCompleted{0};
    std::atomic<std::uint64_t> m_tlsFailed{0};
    std::atomic<std::size_t> m_hashQueue{0};
    std::array<std::atomic<std::uint64_t>, kHashBuckets.size()> m_hashBuckets{}; // not cumulative
    std::atomic<std::uint64_t> m_hashTotal{0};
    std::atomic<std::uint64_t> m_hashNanoseconds{0};
    std::atomic<bool> m_listening{false};
    std::atomic<bool> m_databaseUp{false};
    std::atomic<std::int64_t> m_databaseAnsweredAt{0}; // steady clock, nanoseconds since its epoch
};

} // namespace vesmira
