#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>

namespace vesmira {

// The limits that refuse or close connections. Counted by limit, for the log at exit and for metrics.
enum class Limit {
    Connections,   // every place taken: refused at once
    PerAddress,    // too many from one address: refused at once
    PendingBudget, // evicted: waited longest to sign in while the budget for that was full
    SignInTimeout, // did not sign in in time
    RecordTimeout, // left a record incomplete after sign-in
    SendQueue,     // did not read what was sent to it
    Refusals,      // too many refused sign-in messages
    ProxyHeader,   // behind a proxy: no valid PROXY header in time
    RelayHold,     // a line found the shared relay's hold full (Redis unreachable for long)
    SenderName,    // too many lines not in the sender's own name
    RelayGap,      // this node fell so far behind the shared relay that lines were lost to its users
};

// Written on the relay thread, readable from any.
class LimitCounters {
public:
    static constexpr std::size_t kCount = 11;

    void count(Limit limit) { m_counts[index(limit)].fetch_add(1, std::memory_order_relaxed); }
    std::size_t value(Limit limit) const { return m_counts[index(limit)].load(std::memory_order_relaxed); }

    static std::string_view name(Limit limit) {
        static constexpr std::array<std::string_view, kCount> kNames = {
            "connections", "per-address",  "pending-budget", "sign-in-timeout", "record-timeout", "send-queue",
            "refusals",    "proxy-header", "relay-hold",     "sender-name",     "relay-gap"};
        return kNames[index(limit)];
    }

private:
    static std::size_t index(Limit limit) { return static_cast<std::size_t>(limit); }

    std::array<std::atomic<std::size_t>, kCount> m_counts{};
};

} // namespace vesmira
