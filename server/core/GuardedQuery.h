#pragma once

#include "server/core/SignInProtocol.h"
#include "server/limits/GuessGate.h"
#include "server/users/UserDirectory.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

class ServerStats;

// A sign-in step as a worker runs it. A step that could serve a guesser (is this ID known, is this password right,
// is this ID free) passes the guess gate first: it runs only when no other such check for its account or address is
// in flight and no refusal of theirs is being held back; otherwise it is to be asked again later.
struct GuardedQuery {
    // None: a failed authentication decided without the store (an ID or password that cannot exist), which is
    // slowed and counted all the same.
    std::optional<SignInProtocol::Query> query;
    std::string account; // for the gate; empty: the address alone (a registration probe)
    std::string address;

    struct Result {
        std::optional<std::chrono::milliseconds> retryAfter; // the gate said wait: ask again after this
        UserDirectory::Answer answer = UserDirectory::Answer::No;
        bool failed = false;                  // counted against the account and the address
        std::chrono::milliseconds holdBack{}; // ... and its refusal is held back this long
    };

    // The step for `query`, gated when its kind needs it.
    static GuardedQuery of(SignInProtocol::Query query, std::string address);

    bool gated() const;
    // Blocks: the gate, the store, and for some kinds a password hash.
    Result run(UserDirectory& users, GuessGate& gate, std::string_view holder, ServerStats& stats) const;
};

} // namespace vesmira
