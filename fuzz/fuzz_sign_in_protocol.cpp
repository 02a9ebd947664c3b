#include "FuzzCheck.h"
#include "protocol/SignInWords.h"
#include "server/core/SignInProtocol.h"
#include "server/users/UserDirectory.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

using vesmira::SignInProtocol;
using State = SignInProtocol::State;

namespace {

// Accounts in memory. `failNextAdd` stands for a store that fails to write.
class MemoryDirectory final : public vesmira::UserDirectory {
public:
    Answer contains(std::string_view id) override { return answer(users.contains(std::string(id))); }
    Answer add(std::string_view id, std::string_view password, std::string_view) override {
        if (failNextAdd) {
            failNextAdd = false;
            return Answer::Unavailable;
        }
        return answer(users.emplace(std::string(id), std::string(password)).second);
    }
    Answer checkPassword(std::string_view id, std::string_view password) override {
        const auto found = users.find(std::string(id));
        return answer(found != users.end() && found->second == password);
    }

    std::map<std::string, std::string> users{{"alice", "secret"}};
    bool failNextAdd = false;
};

// The dialogue as a client sees it, written from the rules rather than from the code: the next state, or
// nothing when the message is refused.
struct Expected {
    bool accepted;
    State next;
};

bool isCommand(std::string_view message, std::string_view word) {
    if (message.substr(0, word.size()) != word || message.size() == word.size()) {
        return false;
    }
    for (char c : message.substr(word.size())) {
        if (c != '\0') {
            return false;
        }
    }
    return true;
}

bool isAcceptableField(std::string_view value, std::size_t maxSize) {
    return !value.empty() && value.size() <= maxSize && value.find('\0') == std::string_view::npos;
}

Expected expectedStep(State state, const std::string& userId, std::string_view message,
                      const MemoryDirectory& directory) {
    const Expected refused{false, State::AwaitingCommand};
    const auto known = [&](std::string_view id) { return directory.users.contains(std::string(id)); };
    switch (state) {
    case State::AwaitingCommand:
        if (isCommand(message, "ENTRY")) {
            return {true, State::AwaitingEntryId};
        }
        if (isCommand(message, "JUDGE")) {
            return {true, State::AwaitingJudgeUser};
        }
        return refused;
    case State::AwaitingEntryId:
        // A new ID must name its lines: no "：" in it and no half character at its end.
        return isAcceptableField(message, 44) && vesmira::namesItsLines(message) && !known(message)
                   ? Expected{true, State::AwaitingEntryPassword}
                   : refused;
    case State::AwaitingEntryPassword:
        return isAcceptableField(message, 40) && !known(userId) && !directory.failNextAdd
                   ? Expected{true, State::SignedIn}
                   : refused;
    case State::AwaitingJudgeUser: {
        if (!message.starts_with("USER:")) {
            return refused;
        }
        const std::string_view id = message.substr(5);
        return isAcceptableField(id, 44) && known(id) ? Expected{true, State::AwaitingJudgePassword} : refused;
    }
    case State::AwaitingJudgePassword: {
        if (!message.starts_with("PASSWORD:")) {
            return refused;
        }
        const std::string_view password = message.substr(9);
        const auto found = directory.users.find(userId);
        return isAcceptableField(password, 40) && found != directory.users.end() && found->second == password
                   ? Expected{true, State::SignedIn}
                   : refused;
    }
    case State::SignedIn:
        // Once signed in, the connection carries records; a stray call here must change nothing.
        return {false, State::SignedIn};
    }
    return refused;
}

} // namespace

// The input is a list of steps, each [what][length][message bytes]: `what` picks one of two connections that
// share the directory, and can make another client register the ID being registered, or the store fail.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MemoryDirectory directory;
    std::array<SignInProtocol, 2> connections{SignInProtocol(directory), SignInProtocol(directory)};

    std::size_t i = 0;
    while (i + 2 <= size) {
        const std::uint8_t what = data[i];
        const std::size_t length = std::min<std::size_t>(data[i + 1], size - i - 2);
        const std::string_view message(reinterpret_cast<const char*>(data + i + 2), length);
        i += 2 + length;

        SignInProtocol& connection = connections[what & 1];
        if ((what & 0x30) == 0x10 && connection.state() == State::AwaitingEntryPassword) {
            directory.users.emplace(connection.userId(), "taken meanwhile");
        }
        if ((what & 0x30) == 0x20) {
            directory.failNextAdd = true;
        }

        const State before = connection.state();
        const std::string userBefore = connection.userId();
        const std::size_t usersBefore = directory.users.size();
        const Expected expected = expectedStep(before, userBefore, message, directory);
        const bool willAdd = expected.accepted && before == State::AwaitingEntryPassword;

        const SignInProtocol::Outcome outcome = connection.handle(message);
        FUZZ_CHECK(outcome.accepted == expected.accepted);
        FUZZ_CHECK(connection.state() == expected.next);
        FUZZ_CHECK(outcome.reply() == (outcome.accepted ? "ok" : "ng"));
        FUZZ_CHECK(outcome.accepted || !outcome.reason.empty());

        if (!outcome.accepted && before != State::SignedIn) {
            FUZZ_CHECK(connection.userId().empty());
        }
        if (before == State::SignedIn) {
            FUZZ_CHECK(connection.userId() == userBefore);
        }
        if (willAdd) {
            FUZZ_CHECK(directory.users.size() == usersBefore + 1);
            FUZZ_CHECK(directory.users.at(connection.userId()) == message);
        } else if (before == State::AwaitingEntryPassword && (what & 0x30) == 0x20) {
            FUZZ_CHECK(directory.users.size() == usersBefore);
        }
        directory.failNextAdd = false;

        if (connection.signedIn()) {
            FUZZ_CHECK(directory.users.contains(connection.userId()));
        }
        for (const auto& [id, password] : directory.users) {
            FUZZ_CHECK(isAcceptableField(id, vesmira::kMaxIdBytes));
            FUZZ_CHECK(isAcceptableField(password, vesmira::kMaxPasswordBytes));
        }
    }
    return 0;
}
