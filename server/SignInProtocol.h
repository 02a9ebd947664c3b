#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesmira {

class UserDirectory;

// The lock-step sign-in dialogue of one connection: each client message gets exactly one reply, "ok" or "ng".
// A refusal ends the current run; the next message must start a new one with a command word.
class SignInProtocol {
public:
    static constexpr std::string_view kAccept = "ok";
    static constexpr std::string_view kRefuse = "ng";
    static constexpr std::size_t kMaxIdSize = 44;
    static constexpr std::size_t kMaxPasswordSize = 40;

    enum class State {
        AwaitingCommand,
        AwaitingEntryId,
        AwaitingEntryPassword,
        AwaitingJudgeUser,
        AwaitingJudgePassword,
        SignedIn,
    };

    struct Outcome {
        bool accepted = false;
        std::string_view reason; // why a message was refused, for the log
        std::string_view reply() const { return accepted ? kAccept : kRefuse; }
    };

    explicit SignInProtocol(UserDirectory& users) : m_users(users) {}

    Outcome handle(std::string_view message);

    State state() const { return m_state; }
    bool signedIn() const { return m_state == State::SignedIn; }
    // The account being registered or authenticated; after sign-in, the signed-in user.
    const std::string& userId() const { return m_userId; }

private:
    Outcome handleCommand(std::string_view message);
    Outcome handleEntryId(std::string_view id);
    Outcome handleEntryPassword(std::string_view password);
    Outcome handleJudgeUser(std::string_view message);
    Outcome handleJudgePassword(std::string_view message);
    Outcome accept(State next);
    Outcome refuse(std::string_view reason);

    UserDirectory& m_users;
    State m_state = State::AwaitingCommand;
    std::string m_userId;
};

} // namespace vesmira
