#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesmira {

// The account store: what sign-in asks, and what the operator's `vesmira-server users` changes. IDs and passwords
// are raw CP932 bytes. Calls block (database calls, password hashing): the server makes them on its worker pool,
// from several threads at once; the operator's command, from another process, while servers run.
//
// An account is active (it has a password), invited (an operator made it without one: it may be registered
// once), or locked (it cannot sign in, whatever its password).
class UserDirectory {
public:
    // Unavailable: the store could not be asked (its database is down or failing). The step waiting for the
    // answer is refused, whatever it was. Locked: the account exists but may not sign in (checkPassword only).
    enum class Answer { No, Yes, Unavailable, Locked };

    struct Account {
        enum class State { Active, Locked, Invited };
        std::string id;
        std::int64_t created = 0; // seconds since 1970
        std::optional<std::int64_t> lastSignIn;
        State state = State::Active;
    };

    virtual ~UserDirectory() = default;

    // Whether an account with a password (active or locked) has this ID.
    virtual Answer contains(std::string_view id) = 0;
    // The ID step of a registration: Yes when the ID is free (or invited) and now held for `holder` (one
    // connection, named uniquely across every server sharing the store) until add() or release(), so that of two
    // connections registering one ID at once only one passes this step. A store that cannot hold IDs for anyone
    // answers from contains() alone; add() still lets only one of them register.
    virtual Answer reserve(std::string_view id, std::string_view /*holder*/) {
        const Answer taken = contains(id);
        return taken == Answer::Unavailable ? taken : taken == Answer::Yes ? Answer::No : Answer::Yes;
    }
    // Gives up what reserve() held for `holder`; nothing when it holds nothing.
    virtual void release(std::string_view /*id*/, std::string_view /*holder*/) {}
    // Registers the ID: a new account, or an invited one that gets its password. No when the ID is taken (or
    // held for another connection); it then stays as it was.
    virtual Answer add(std::string_view id, std::string_view password, std::string_view holder) = 0;
    // As reserve() and add(), for registration by invitation only: an ID no operator invited is refused. A store
    // without invitations has no invited IDs.
    virtual Answer reserveInvited(std::string_view /*id*/, std::string_view /*holder*/) { return Answer::No; }
    virtual Answer addInvited(std::string_view /*id*/, std::string_view /*password*/, std::string_view /*holder*/) {
        return Answer::No;
    }
    // Yes records the sign-in's time; a locked account answers Locked without its password being checked.
    virtual Answer checkPassword(std::string_view id, std::string_view password) = 0;

    // Of the IDs of signed-in users given, those that may no longer be signed in (removed, locked, or invited
    // afresh); nullopt when the store could not be asked. Asked every second by each server: cheap, and it
    // doubles as the server's health check of its database.
    virtual std::optional<std::vector<std::string>> inactiveAmong(const std::vector<std::string>& /*ids*/) {
        return std::vector<std::string>();
    }

    // The operator's. Yes: done. No: the ID is taken already (create, invite) or there is no such account (the
    // others). Unavailable: the store failed, and nothing changed.
    // Every account, oldest first (those made in the same second by ID, byte by byte).
    virtual std::optional<std::vector<Account>> accounts() { return std::nullopt; }
    virtual Answer create(std::string_view /*id*/, std::string_view /*password*/) { return Answer::Unavailable; }
    virtual Answer invite(std::string_view /*id*/) { return Answer::Unavailable; }
    // A new password; an invited account becomes active.
    virtual Answer setPassword(std::string_view /*id*/, std::string_view /*password*/) { return Answer::Unavailable; }
    virtual Answer remove(std::string_view /*id*/) { return Answer::Unavailable; }
    virtual Answer setLocked(std::string_view /*id*/, bool /*locked*/) { return Answer::Unavailable; }

    static Answer answer(bool yes) { return yes ? Answer::Yes : Answer::No; }
};

} // namespace vesmira
