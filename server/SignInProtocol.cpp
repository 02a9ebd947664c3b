#include "server/SignInProtocol.h"

#include "server/UserDirectory.h"

namespace vesmira {

namespace {

constexpr std::string_view kEntryWord = "ENTRY";
constexpr std::string_view kJudgeWord = "JUDGE";
constexpr std::string_view kUserPrefix = "USER:";
constexpr std::string_view kPasswordPrefix = "PASSWORD:";

// The client sends a command word as a C string including its terminator. Accepted: the word followed by one
// or more NULs (some clients send a padded buffer). Refused: the bare word, or any other byte after it, so a
// command glued to a field never half-succeeds.
bool isCommandWord(std::string_view message, std::string_view word) {
    if (message.size() <= word.size() || !message.starts_with(word)) {
        return false;
    }
    return message.find_first_not_of('\0', word.size()) == std::string_view::npos;
}

// Fields are sent without a terminator; a NUL inside one would make two IDs that print the same.
bool hasNul(std::string_view field) {
    return field.find('\0') != std::string_view::npos;
}

} // namespace

SignInProtocol::Outcome SignInProtocol::handle(std::string_view message) {
    switch (m_state) {
    case State::AwaitingCommand:
        return handleCommand(message);
    case State::AwaitingEntryId:
        return handleEntryId(message);
    case State::AwaitingEntryPassword:
        return handleEntryPassword(message);
    case State::AwaitingJudgeUser:
        return handleJudgeUser(message);
    case State::AwaitingJudgePassword:
        return handleJudgePassword(message);
    case State::SignedIn:
        break;
    }
    return {false, "already signed in"};
}

SignInProtocol::Outcome SignInProtocol::handleCommand(std::string_view message) {
    if (isCommandWord(message, kEntryWord)) {
        return accept(State::AwaitingEntryId);
    }
    if (isCommandWord(message, kJudgeWord)) {
        return accept(State::AwaitingJudgeUser);
    }
    return refuse("unknown command");
}

SignInProtocol::Outcome SignInProtocol::handleEntryId(std::string_view id) {
    if (id.empty()) {
        return refuse("empty ID");
    }
    if (id.size() > kMaxIdSize) {
        return refuse("ID too long");
    }
    if (hasNul(id)) {
        return refuse("NUL in ID");
    }
    if (m_users.contains(id)) {
        return refuse("ID taken");
    }
    m_userId.assign(id);
    return accept(State::AwaitingEntryPassword);
}

SignInProtocol::Outcome SignInProtocol::handleEntryPassword(std::string_view password) {
    if (password.empty()) {
        return refuse("empty password");
    }
    if (password.size() > kMaxPasswordSize) {
        return refuse("password too long");
    }
    if (hasNul(password)) {
        return refuse("NUL in password");
    }
    if (!m_users.add(m_userId, password)) {
        return refuse("ID taken or not stored");
    }
    return accept(State::SignedIn);
}

SignInProtocol::Outcome SignInProtocol::handleJudgeUser(std::string_view message) {
    if (!message.starts_with(kUserPrefix)) {
        return refuse("expected USER:");
    }
    const std::string_view id = message.substr(kUserPrefix.size());
    // IDs that registration would refuse cannot exist, so they skip the store.
    if (id.empty() || id.size() > kMaxIdSize || hasNul(id) || !m_users.contains(id)) {
        return refuse("unknown user");
    }
    m_userId.assign(id);
    return accept(State::AwaitingJudgePassword);
}

SignInProtocol::Outcome SignInProtocol::handleJudgePassword(std::string_view message) {
    if (!message.starts_with(kPasswordPrefix)) {
        return refuse("expected PASSWORD:");
    }
    const std::string_view password = message.substr(kPasswordPrefix.size());
    // Passwords registration would refuse cannot match; refusing them early also spares a slow hash.
    if (password.empty() || password.size() > kMaxPasswordSize || hasNul(password) ||
        !m_users.checkPassword(m_userId, password)) {
        return refuse("wrong password");
    }
    return accept(State::SignedIn);
}

SignInProtocol::Outcome SignInProtocol::accept(State next) {
    m_state = next;
    return {true, {}};
}

SignInProtocol::Outcome SignInProtocol::refuse(std::string_view reason) {
    m_state = State::AwaitingCommand;
    m_userId.clear();
    return {false, reason};
}

} // namespace vesmira
