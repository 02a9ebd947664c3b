#include "server/core/SignInProtocol.h"
#include "server/users/UserDirectory.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace vesmira {
namespace {

using namespace std::string_literals;
using State = SignInProtocol::State;

// Plain-text accounts in memory: enough to drive the state machine.
class MemoryDirectory final : public UserDirectory {
public:
    Answer contains(std::string_view id) override { return answer(m_users.contains(std::string(id))); }
    Answer add(std::string_view id, std::string_view password, std::string_view) override {
        return answer(m_users.emplace(std::string(id), std::string(password)).second);
    }
    Answer checkPassword(std::string_view id, std::string_view password) override {
        const auto it = m_users.find(std::string(id));
        return answer(it != m_users.end() && it->second == password);
    }
    std::map<std::string, std::string> m_users{{"alice", "secret"}};
};

struct Dialogue {
    const char* name;
    std::vector<std::string> messages;
    std::string replies; // one letter per message: 'o' for "ok", 'n' for "ng"
    State finalState;
    friend void PrintTo(const Dialogue& dialogue, std::ostream* out) { *out << dialogue.name; }
};

const std::string kEntry = "ENTRY\0"s;
const std::string kJudge = "JUDGE\0"s;
const std::string kSjisId = "\x83\x65\x83\x58\x83\x67"; // テスト in CP932

const std::vector<Dialogue> kDialogues = {
    {"register", {kEntry, "bob", "pw"}, "ooo", State::SignedIn},
    {"register CP932 ID", {kEntry, kSjisId, "pw"}, "ooo", State::SignedIn},
    {"command padded with NULs", {"ENTRY\0\0\0\0"s}, "o", State::AwaitingEntryId},
    {"command without its NUL", {"ENTRY"}, "n", State::AwaitingCommand},
    {"command followed by junk", {"ENTRY\0x"s}, "n", State::AwaitingCommand},
    {"command glued to a field", {"JUDGE\0USER:alice"s}, "n", State::AwaitingCommand},
    {"lower-case command", {"entry\0"s}, "n", State::AwaitingCommand},
    {"longer word", {"ENTRYX\0"s}, "n", State::AwaitingCommand},
    {"empty message", {""}, "n", State::AwaitingCommand},
    {"field where a command belongs", {"USER:alice"}, "n", State::AwaitingCommand},
    {"empty ID", {kEntry, ""}, "on", State::AwaitingCommand},
    {"ID of 44 bytes", {kEntry, std::string(44, 'i'), "pw"}, "ooo", State::SignedIn},
    {"ID of 45 bytes", {kEntry, std::string(45, 'i')}, "on", State::AwaitingCommand},
    {"ID with a NUL", {kEntry, "bo\0b"s}, "on", State::AwaitingCommand},
    {"command word as ID", {kEntry, kJudge}, "on", State::AwaitingCommand},
    {"ID taken", {kEntry, "alice"}, "on", State::AwaitingCommand},
    {"empty password", {kEntry, "bob", ""}, "oon", State::AwaitingCommand},
    {"password of 40 bytes", {kEntry, "bob", std::string(40, 'p')}, "ooo", State::SignedIn},
    {"password of 41 bytes", {kEntry, "bob", std::string(41, 'p')}, "oon", State::AwaitingCommand},
    {"password with a NUL", {kEntry, "bob", "p\0w"s}, "oon", State::AwaitingCommand},
    {"authenticate", {kJudge, "USER:alice", "PASSWORD:secret"}, "ooo", State::SignedIn},
    {"unknown user", {kJudge, "USER:carol"}, "on", State::AwaitingCommand},
    {"empty user", {kJudge, "USER:"}, "on", State::AwaitingCommand},
    {"ID without prefix", {kJudge, "alice"}, "on", State::AwaitingCommand},
    {"lower-case prefix", {kJudge, "user:alice"}, "on", State::AwaitingCommand},
    {"wrong password", {kJudge, "USER:alice", "PASSWORD:secreT"}, "oon", State::AwaitingCommand},
    {"password without prefix", {kJudge, "USER:alice", "secret"}, "oon", State::AwaitingCommand},
    {"password with trailing NUL", {kJudge, "USER:alice", "PASSWORD:secret\0"s}, "oon", State::AwaitingCommand},
    {"refusal ends the run", {kEntry, "alice", "bob"}, "onn", State::AwaitingCommand},
    {"fresh run after a wrong password",
     {kJudge, "USER:alice", "PASSWORD:nope", kJudge, "USER:alice", "PASSWORD:secret"},
     "oonooo",
     State::SignedIn},
    {"switch from refused entry to judge",
     {kEntry, "", kJudge, "USER:alice", "PASSWORD:secret"},
     "onooo",
     State::SignedIn},
    {"messages after sign-in", {kJudge, "USER:alice", "PASSWORD:secret", kEntry}, "ooon", State::SignedIn},
};

class SignInDialogue : public ::testing::TestWithParam<Dialogue> {};

TEST_P(SignInDialogue, RepliesAndEndsInState) {
    const Dialogue& dialogue = GetParam();
    MemoryDirectory users;
    SignInProtocol protocol(users);
    std::string replies;
    for (const std::string& message : dialogue.messages) {
        const SignInProtocol::Outcome outcome = protocol.handle(message);
        replies += outcome.accepted ? 'o' : 'n';
        EXPECT_EQ(outcome.reply(), outcome.accepted ? "ok" : "ng");
        EXPECT_EQ(outcome.accepted, outcome.reason.empty()) << "refusals give a reason, acceptances none";
    }
    EXPECT_EQ(replies, dialogue.replies);
    EXPECT_EQ(protocol.state(), dialogue.finalState);
}

INSTANTIATE_TEST_SUITE_P(Messages, SignInDialogue, ::testing::ValuesIn(kDialogues),
                         [](const ::testing::TestParamInfo<Dialogue>& info) {
                             std::string name;
                             for (char c : std::string(info.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(SignInProtocol, RegistrationStoresTheExactBytes) {
    MemoryDirectory users;
    SignInProtocol protocol(users);
    for (const std::string& message : {kEntry, kSjisId, "p\x82\xa0ss"s}) {
        ASSERT_TRUE(protocol.handle(message).accepted);
    }
    EXPECT_EQ(protocol.userId(), kSjisId);
    EXPECT_EQ(users.m_users.at(kSjisId), "p\x82\xa0ss");
}

} // namespace
} // namespace vesmira
