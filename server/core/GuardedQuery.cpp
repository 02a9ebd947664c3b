#include "server/core/GuardedQuery.h"

#include "server/metrics/ServerStats.h"

namespace vesmira {

namespace {

using Kind = SignInProtocol::Query::Kind;
using Answer = UserDirectory::Answer;

GuessGate::Result gateResult(const std::optional<SignInProtocol::Query>& query, Answer answer) {
    if (!query) {
        return GuessGate::Result::Failed;
    }
    if (query->kind == Kind::CheckPassword && answer == Answer::Yes) {
        return GuessGate::Result::Succeeded;
    }
    // An unknown ID, a wrong password, an ID that is taken (or not invited): each tells a guesser something.
    return answer == Answer::No ? GuessGate::Result::Failed : GuessGate::Result::Neither;
}

} // namespace

GuardedQuery GuardedQuery::of(SignInProtocol::Query query, std::string address) {
    // A registration probe counts against the address alone: the ID is not an account of the prober's.
    const bool probe = query.kind == Kind::Reserve || query.kind == Kind::ReserveInvited;
    std::string account = probe ? std::string() : query.id;
    return {std::move(query), std::move(account), std::move(address)};
}

bool GuardedQuery::gated() const {
    return !query || query->kind == Kind::Contains || query->kind == Kind::CheckPassword ||
           query->kind == Kind::Reserve || query->kind == Kind::ReserveInvited;
}

GuardedQuery::Result GuardedQuery::run(UserDirectory& users, GuessGate& gate, std::string_view holder,
                                       ServerStats& stats) const {
    Result result;
    GuessGate::Entry entry;
    if (gated()) {
        entry = gate.enter(account, address);
        if (!entry.admitted) {
            result.retryAfter = entry.wait;
            return result;
        }
    }
    if (query) {
        const auto start = std::chrono::steady_clock::now();
        result.answer = query->run(users, holder);
        if (query->hashes() && result.answer != Answer::Unavailable && result.answer != Answer::Locked) {
            stats.hashed(std::chrono::steady_clock::now() - start);
        }
    }
    if (gated()) {
        const GuessGate::Result outcome = gateResult(query, result.answer);
        result.failed = outcome == GuessGate::Result::Failed;
        result.holdBack = gate.leave(account, address, outcome, entry);
    }
    return result;
}

} // namespace vesmira
