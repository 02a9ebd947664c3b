#pragma once

#include "protocol/SignInWords.h"
#include "server/users/UserDirectory.h"

#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

// The lock-step sign-in dialogue of one connection: each client message gets exactly one reply, "ok" or "ng".
// A refusal ends the current run; the next message must start a new one with a command word.
//
// A step that needs the account store is split in two, so that the store (which blocks: database calls and
// password hashing) can be asked on another thread: begin() returns the query, the caller runs it anywhere and
// hands its answer to finish(). handle() does both at once on the directory given at construction.
class SignInProtocol {
public:
    enum class State {
        AwaitingCommand,
        AwaitingEntryId,
        AwaitingEntryPassword,
        AwaitingJudgeUser,
        AwaitingJudgePassword,
        SignedIn,
    };

    // Who may register: anyone a free ID, only the IDs an operator invited, or nobody (the ID step is refused).
    enum class Registration { Open, Invite, Closed };
    static std::optional<Registration> parseRegistration(std::string_view name);
    static std::string_view registrationName(Registration registration);

    struct Outcome {
        bool accepted = false;
        std::string_view reason; // why a message was refused, for the log
        // A refused authentication: an unknown ID or a wrong password (slowed, and logged for fail2ban).
        bool failedAuthentication = false;
        bool unavailable = false; // refused because the store could not be asked
        std::string_view reply() const { return accepted ? kAccept : kRefuse; }
    };

    // A question for the account store. Only IDs and passwords that pass the protocol's checks get here.
    struct Query {
        enum class Kind { Contains, Reserve, Add, ReserveInvited, AddInvited, CheckPassword };
        Kind kind = Kind::Contains;
        std::string id;
        std::string password; // for Add, AddInvited and CheckPassword

        // Blocks: a database call, and for the kinds with a password a password hash. `holder` names the connection
        // for the ID held between the two steps of a registration.
        UserDirectory::Answer run(UserDirectory& users, std::string_view holder) const;
        // Whether the store may hold the ID for this connection once the query has run.
        bool mayHold() const { return kind != Kind::Contains && kind != Kind::CheckPassword; }
        bool hashes() const { return !password.empty(); }
    };

    // Either the step's outcome, or the query whose answer decides it.
    struct Step {
        std::optional<Outcome> outcome;
        std::optional<Query> query;
    };

    // Without a directory: the caller runs every query itself (begin/finish only).
    SignInProtocol() = default;
    explicit SignInProtocol(UserDirectory& users) : m_users(&users) {}

    void setRegistration(Registration registration) { m_registration = registration; }

    // One message; when a query comes back, nothing else may be begun before finish() has its answer.
    Step begin(std::string_view message);
    // An Unavailable answer refuses the step, whichever it is.
    Outcome finish(UserDirectory::Answer answer);
    // begin() and, when needed, the query on the directory given at construction (holder "local"), then finish().
    Outcome handle(std::string_view message);

    State state() const { return m_state; }
    bool signedIn() const { return m_state == State::SignedIn; }
    // The account being registered or authenticated; after sign-in, the signed-in user.
    const std::string& userId() const { return m_userId; }
    // Between the two steps of a registration the store holds the ID for this connection: it must be released
    // if the registration goes no further.
    bool holdsId() const { return m_state == State::AwaitingEntryPassword; }
    // The ID of the last failed authentication (as sent, at most a little longer than an ID may be).
    const std::string& failedId() const { return m_failedId; }

private:
    Step handleCommand(std::string_view message);
    Step handleEntryId(std::string_view id);
    Step handleEntryPassword(std::string_view password);
    Step handleJudgeUser(std::string_view message);
    Step handleJudgePassword(std::string_view message);
    Step ask(Query::Kind kind, std::string_view id, std::string_view password = {});
    Outcome accept(State next);
    Outcome refuse(std::string_view reason);
    Outcome refuseAuthentication(std::string_view reason, std::string_view id);

    UserDirectory* m_users = nullptr;
    Registration m_registration = Registration::Open;
    State m_state = State::AwaitingCommand;
    std::string m_userId;
    std::string m_failedId;
    std::optional<Query> m_query; // asked and not yet answered
};

} // namespace vesmira
