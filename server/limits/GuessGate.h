#pragma once

#include <chrono>
#include <string_view>

namespace vesmira {

// Where a sign-in check passes that an outsider could use to guess: a password, whether an ID exists, whether an
// ID is free to register. At most one such check per account and one per client address is in flight; the next
// waits until it is over and its refusal, if any, has been held back (GuessDelay). Any number of connections, on any
// number of servers sharing the gate, so guess no faster than one. The checks of one account go first to the
// addresses waiting for it that have no failures, so that a guesser's connections or addresses cannot keep its owner
// out.
//
// Called on the worker threads, around the check; may block (a shared gate asks Redis).
class GuessGate {
public:
    enum class Result {
        Failed,    // counts against the account and the address: an unknown ID, a wrong password, an ID taken
        Succeeded, // a password that matched: clears the account's count
        Neither,   // an ID that exists, a store that did not answer, a locked account
    };
    struct Entry {
        bool admitted = false;
        std::chrono::milliseconds wait{0}; // when not admitted: ask again after this
        bool local = false;                // admitted by this server's own gate (a shared one was unreachable)
    };

    virtual ~GuessGate() = default;

    // May a check for `account` (empty: none, the address alone) from `address` start now? If admitted, the check
    // is in flight until leave().
    virtual Entry enter(std::string_view account, std::string_view address) = 0;
    // The check is over: how long to hold back its refusal (zero unless it failed).
    virtual std::chrono::milliseconds leave(std::string_view account, std::string_view address, Result result,
                                            const Entry& entry) = 0;
};

} // namespace vesmira
