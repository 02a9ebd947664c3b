#include "server/core/SignInProtocol.h"

#include "server/users/UserDirectory.h"

#include <utility>

namespace vesmira {

namespace {

// The client sends a command word as a C string including its terminator. Accepted: the word, its NUL and
// possibly more NULs (some clients send a padded buffer). Refused: the bare word, or any other byte after it, so a
// command glued to a field never half-succeeds.
bool isCommand(std::string_view message, std::string_view command) {
    return message.starts_with(command) && message.find_first_not_of('\0', command.size()) == std::string_view::npos;
}

// Fields are sent without a terminator; a NUL inside one would make two IDs that print the same.
bool hasNul(std::string_view field) {
    return field.find('\0') != std::string_view::npos;
}

} // namespace

UserDirectory::Answer SignInProtocol::Query::run(UserDirectory& users, std::string_view holder) const {
    switch (kind) {
    case Kind::Contains:
        return users.contains(id);
    case Kind::Reserve:
        return users.reserve(id, holder);
    case Kind::Add:
        return users.add(id, password, holder);
    case Kind::ReserveInvited:
        return users.reserveInvited(id, holder);
    case Kind::AddInvited:
        return users.addInvited(id, password, holder);
    case Kind::CheckPassword:
        return users.checkPassword(id, password);
    }
    return UserDirectory::Answer::Unavailable;
}

SignInProtocol::Outcome SignInProtocol::handle(std::string_view message) {
    const Step step = begin(message);
    if (step.outcome) {
        return *step.outcome;
    }
    return finish(m_users ? step.query->run(*m_users, "local") : UserDirectory::Answer::Unavailable);
}

SignInProtocol::Step SignInProtocol::begin(std::string_view message) {
    if (m_query) {
        return {Outcome{false, "a step is still waiting for its answer"}, std::nullopt};
    }
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
    return {Outcome{false, "already signed in"}, std::nullopt};
}

SignInProtocol::Outcome SignInProtocol::finish(UserDirectory::Answer answer) {
    if (!m_query) {
        return {false, "no step is waiting for an answer"};
    }
    const Query query = std::move(*m_query);
    m_query.reset();
    if (answer == UserDirectory::Answer::Unavailable) {
        Outcome outcome = refuse("user database unavailable");
        outcome.unavailable = true;
        return outcome;
    }
    const bool yes = answer == UserDirectory::Answer::Yes;
    switch (m_state) {
    case State::AwaitingEntryId:
        if (!yes) {
            return refuse(query.kind == Query::Kind::ReserveInvited ? "ID not invited" : "ID taken");
        }
        m_userId = query.id;
        return accept(State::AwaitingEntryPassword);
    case State::AwaitingEntryPassword:
        return yes ? accept(State::SignedIn) : refuse("ID taken or not stored");
    case State::AwaitingJudgeUser:
        if (!yes) {
            return refuseAuthentication("unknown user", query.id);
        }
        m_userId = query.id;
        return accept(State::AwaitingJudgePassword);
    case State::AwaitingJudgePassword:
        if (answer == UserDirectory::Answer::Locked) {
            return refuse("account locked");
        }
        return yes ? accept(State::SignedIn) : refuseAuthentication("wrong password", query.id);
    case State::AwaitingCommand:
    case State::SignedIn:
        break;
    }
    return refuse("unexpected answer");
}

SignInProtocol::Step SignInProtocol::handleCommand(std::string_view message) {
    if (isCommand(message, kRegisterCommand)) {
        return {accept(State::AwaitingEntryId), std::nullopt};
    }
    if (isCommand(message, kAuthenticateCommand)) {
        return {accept(State::AwaitingJudgeUser), std::nullopt};
    }
    return {refuse("unknown command"), std::nullopt};
}

SignInProtocol::Step SignInProtocol::handleEntryId(std::string_view id) {
    if (id.empty()) {
        return {refuse("empty ID"), std::nullopt};
    }
    if (id.size() > kMaxIdBytes) {
        return {refuse("ID too long"), std::nullopt};
    }
    if (hasNul(id)) {
        return {refuse("NUL in ID"), std::nullopt};
    }
    if (!namesItsLines(id)) {
        return {refuse("ID holds a colon or ends in half a character"), std::nullopt};
    }
    switch (m_registration) {
    case Registration::Open:
        return ask(Query::Kind::Reserve, id);
    case Registration::Invite:
        return ask(Query::Kind::ReserveInvited, id);
    case Registration::Closed:
        break;
    }
    return {refuse("registration closed"), std::nullopt};
}

SignInProtocol::Step SignInProtocol::handleEntryPassword(std::string_view password) {
    if (password.empty()) {
        return {refuse("empty password"), std::nullopt};
    }
    if (password.size() > kMaxPasswordBytes) {
        return {refuse("password too long"), std::nullopt};
    }
    if (hasNul(password)) {
        return {refuse("NUL in password"), std::nullopt};
    }
    return ask(m_registration == Registration::Invite ? Query::Kind::AddInvited : Query::Kind::Add, m_userId, password);
}

SignInProtocol::Step SignInProtocol::handleJudgeUser(std::string_view message) {
    if (!message.starts_with(kUserPrefix)) {
        return {refuse("expected USER:"), std::nullopt};
    }
    const std::string_view id = message.substr(kUserPrefix.size());
    // IDs that registration would refuse cannot exist, so they skip the store.
    if (id.empty() || id.size() > kMaxIdBytes || hasNul(id)) {
        return {refuseAuthentication("unknown user", id), std::nullopt};
    }
    return ask(Query::Kind::Contains, id);
}

SignInProtocol::Step SignInProtocol::handleJudgePassword(std::string_view message) {
    if (!message.starts_with(kPasswordPrefix)) {
        return {refuse("expected PASSWORD:"), std::nullopt};
    }
    const std::string_view password = message.substr(kPasswordPrefix.size());
    // Passwords registration would refuse cannot match; refusing them early also spares a slow hash.
    if (password.empty() || password.size() > kMaxPasswordBytes || hasNul(password)) {
        return {refuseAuthentication("wrong password", m_userId), std::nullopt};
    }
    return ask(Query::Kind::CheckPassword, m_userId, password);
}

SignInProtocol::Step SignInProtocol::ask(Query::Kind kind, std::string_view id, std::string_view password) {
    m_query = Query{kind, std::string(id), std::string(password)};
    return {std::nullopt, m_query};
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

SignInProtocol::Outcome SignInProtocol::refuseAuthentication(std::string_view reason, std::string_view id) {
    // Copied before refuse() clears the ID it may point into; an overlong one only needs to be told apart.
    m_failedId = std::string(id.substr(0, kMaxIdBytes + 4));
    Outcome outcome = refuse(reason);
    outcome.failedAuthentication = true;
    return outcome;
}

std::optional<SignInProtocol::Registration> SignInProtocol::parseRegistration(std::string_view name) {
    for (Registration registration : {Registration::Open, Registration::Invite, Registration::Closed}) {
        if (name == registrationName(registration)) {
            return registration;
        }
    }
    return std::nullopt;
}

std::string_view SignInProtocol::registrationName(Registration registration) {
    switch (registration) {
    case Registration::Open:
        return "open";
    case Registration::Invite:
        return "invite";
    case Registration::Closed:
        return "closed";
    }
    return "?";
}

} // namespace vesmira
