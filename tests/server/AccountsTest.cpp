#include "ChildProcess.h"
#include "ServerHarness.h"
#include "TempFolder.h"
#include "TestClient.h"
#include "server/admin/Cp932Text.h"
#include "server/log/LogText.h"
#include "server/log/Logger.h"
#include "server/users/UserStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace vesmira {
namespace {

using namespace std::chrono_literals;

const std::string kTesuto = "\x83\x65\x83\x58\x83\x67"; // テスト in CP932

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class Accounts : public InTempFolder<> {
protected:
    // `vesmira-server users ARGS --db DB --hash-cost min`, `input` on its standard input (a file: not a terminal).
    Outcome users(const std::string& db, std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {VESMIRA_SERVER_BINARY, "users"});
        args.insert(args.end(), {"--db", db, "--hash-cost", "min"});
        std::string command;
        for (const std::string& arg : args) {
            command += "'" + arg + "' "; // no argument of these tests holds a quote
        }
        const std::string io = m_folder + "/users";
        std::ofstream(io + ".in") << input;
        const int status = std::system((command + "<" + io + ".in >" + io + ".out 2>" + io + ".err").c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempDir::read(io + ".out"), TempDir::read(io + ".err")};
    }
};

TEST(Cp932Text, TypedTextBecomesTheBytesAClientSendsAndStoredBytesPrintSafely) {
    struct Typed {
        std::string utf8;
        std::optional<std::string> cp932;
    };
    const std::vector<Typed> typed = {
        {"alice", "alice"},
        {"テスト", kTesuto},
        {"〜", "\x81\x60"}, // WAVE DASH: what the client's converter sends for it
        {"ｱ①", "\xb1\x87\x40"},
        {"〠", std::nullopt},           // no CP932 form
        {"\xff", std::nullopt},         // not UTF-8
        {"\xc0\xaf", std::nullopt},     // overlong
        {"\xed\xa0\x80", std::nullopt}, // a surrogate
    };
    for (const Typed& t : typed) {
        std::string error;
        EXPECT_EQ(Cp932Text::fromUtf8(t.utf8, error), t.cp932) << t.utf8;
        EXPECT_EQ(error.empty(), t.cp932.has_value()) << error;
    }
    const std::vector<std::pair<std::string, std::string>> stored = {
        {kTesuto, "テスト"}, {"a\\b", "a\\x5cb"},    {"x\ny", "x\\x0ay"},           {"\xff\x41", "\\xffA"},
        {"\x83", "\\x83"},   {"\x81\x20", "\\x81 "}, {"\xb1" + kTesuto, "ｱテスト"},
    };
    for (const auto& [bytes, shown] : stored) {
        EXPECT_EQ(LogText::fromCp932(bytes), shown);
    }
}

TEST_F(Accounts, UsersCommandManagesAccountsInADatabaseFile) {
    const std::string db = m_folder + "/state/users.sqlite3";
    struct Step {
        std::vector<std::string> args;
        std::string input;
        int exitCode;
        std::string said; // found in standard output, or in standard error when the command fails
    };
    const std::string tooLong(45, 'a');
    std::string hiragana;
    for (int i = 0; i < 23; ++i) {
        hiragana += "あ"; // 46 bytes in CP932
    }
    const std::vector<Step> steps = {
        {{"list"}, "", 1, "there is no user database"},
        {{"add", "alice"}, "secret\n", 0, "added 'alice'"},
        {{"add", "alice"}, "other\n", 1, "'alice' is taken already"},
        {{"invite", "テスト"}, "", 0, "invited 'テスト'"},
        {{"invite", "alice"}, "", 1, "taken already"},
        {{"passwd", "テスト"}, "pw\n", 0, "password of 'テスト' changed"},
        {{"passwd", "nobody"}, "pw\n", 1, "there is no account 'nobody'"},
        {{"lock", "alice"}, "", 0, "locked 'alice'"},
        {{"unlock", "nobody"}, "", 1, "there is no account"},
        {{"add", "bob"}, "pw\n", 0, "added 'bob'"},
        {{"remove", "bob"}, "", 0, "removed 'bob'"},
        {{"remove", "nobody"}, "", 1, "there is no account"},
        {{"add", "〠"}, "pw\n", 2, "cannot be written in CP932"},
        {{"invite", tooLong}, "", 2, "45 bytes in CP932; a client sends at most 44"},
        {{"invite", hiragana}, "", 2, "46 bytes"},
        {{"invite", "a\tb"}, "", 2, "control character"},
        {{"invite", ""}, "", 2, "empty"},
        {{"add", "hanako：I resign"}, "pw\n", 2, "holds \"：\""},
        {{"remove", "hanako：I resign"}, "", 1, "there is no account"}, // an older account can still go
        {{"add", "carol"}, "", 2, "no password on standard input"},
        {{"add", "carol"}, std::string(41, 'p') + "\n", 2, "41 bytes"},
        {{"frobnicate", "x"}, "", 2, "unknown command"},
        {{"lock"}, "", 2, "needs exactly one ID"},
    };
    for (const Step& step : steps) {
        const Outcome run = users(db, step.args, step.input);
        const std::string where = step.args.front() + (step.args.size() > 1 ? " " + step.args[1] : "");
        EXPECT_EQ(run.exitCode, step.exitCode) << where << ": " << run.err;
        EXPECT_NE((step.exitCode == 0 ? run.out : run.err).find(step.said), std::string::npos)
            << where << ": " << run.out << run.err;
    }
    const Outcome list = users(db, {"list"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_TRUE(std::regex_search(list.out, std::regex("\nlocked +\\d{4}-\\d\\d-\\d\\dT[0-9:]+Z +never +alice\n")))
        << list.out;
    EXPECT_TRUE(std::regex_search(list.out, std::regex("\nactive .* never +テスト\n"))) << list.out;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 3) << list.out;

    std::ostringstream log;
    Logger logger(LogLevel::Warn, log);
    std::string error;
    auto store = UserStore::open(db, PasswordHasher(PasswordHasher::Cost::Minimum), logger, error);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(store->checkPassword(kTesuto, "pw"), UserDirectory::Answer::Yes) << "stored as the client's bytes";
}

TEST_F(Accounts, StoredIdThatCannotNameItsLinesSignsInButIsNeverHeard) {
    ServerHarness server;
    ASSERT_TRUE(server.running()) << server.error();
    const std::string id = "hanako\x81\x46I resign"; // stored before registration refused such IDs
    std::ostringstream log;
    Logger logger(LogLevel::Warn, log);
    std::string error;
    auto store = UserStore::open(server.databasePath(), PasswordHasher(PasswordHasher::Cost::Minimum), logger, error);
    ASSERT_TRUE(store && store->create(id, "pw") == UserDirectory::Answer::Yes) << error;
    auto reader = registered(server.port(), "reader");
    auto signedIn = greeted(server.port());
    ASSERT_TRUE(reader && signedIn && signedIn->authenticate(id, "pw"));
    ASSERT_TRUE(signedIn->send(line(id, "(as of today)") + said(id, kLeftText)));
    signedIn->shutdownWrite();
    EXPECT_TRUE(signedIn->readUntilClosed().has_value());
    auto bob = registered(server.port(), "bob");
    EXPECT_EQ(reader->receive(kRecordBytes), joined("bob")) << "no join, line or leave in the stored ID's name";
}

TEST_F(Accounts, EachRegistrationModeThroughARealExchange) {
    struct Case {
        SignInProtocol::Registration mode;
        std::string id;
        bool invited;
        std::vector<std::string> replies; // to ENTRY, the ID, the password
    };
    using R = SignInProtocol::Registration;
    const std::vector<Case> cases = {
        {R::Open, "new", false, {"ok", "ok", "ok"}}, {R::Open, "guest", true, {"ok", "ok", "ok"}},
        {R::Invite, "new", false, {"ok", "ng"}},     {R::Invite, "guest", true, {"ok", "ok", "ok"}},
        {R::Closed, "new", false, {"ok", "ng"}},     {R::Closed, "guest", true, {"ok", "ng"}},
    };
    for (const Case& c : cases) {
        const std::string name = std::string(SignInProtocol::registrationName(c.mode)) + " " + c.id;
        ServerHarness::Options options;
        options.settings.registration = c.mode;
        ServerHarness server(options);
        ASSERT_TRUE(server.running()) << server.error();
        // The operator's command, another process on the server's file.
        ASSERT_TRUE(!c.invited || users(server.databasePath(), {"invite", c.id}).exitCode == 0) << name;
        auto client = greeted(server.port());
        ASSERT_TRUE(client);
        const std::vector<std::string> messages = {std::string("ENTRY\0", 6), c.id, "pw"};
        std::vector<std::string> replies;
        for (std::size_t i = 0; i < messages.size() && (replies.empty() || replies.back() == "ok"); ++i) {
            replies.push_back(client->exchange(messages[i]));
        }
        EXPECT_EQ(replies, c.replies) << name;
        if (replies.size() == 3 && replies.back() == "ok") {
            EXPECT_TRUE(greeted(server.port())->authenticate(c.id, "pw")) << name;
            EXPECT_FALSE(greeted(server.port())->registerUser(c.id, "other")) << name << ": registered once only";
        }
    }
}

TEST(GuessDelay, AHeldRefusalHoldsUpNobodyElse) {
    ServerHarness::Options options;
    options.settings.guessDelay = {3s, 3s, 10min};
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    auto alice = registered(server.port(), "alice");
    auto bob = registered(server.port(), "bob");
    auto guesser = greeted(server.port());
    ASSERT_TRUE(alice && bob && guesser);
    ASSERT_EQ(guesser->exchange(std::string("JUDGE\0", 6)), "ok");
    ASSERT_EQ(guesser->exchange("USER:alice"), "ok");
    ASSERT_TRUE(guesser->send("PASSWORD:wrong"));
    // Its refusal is held back for seconds; meanwhile the others chat and sign in.
    ASSERT_TRUE(alice->send(line("alice", "hi")));
    EXPECT_TRUE(bob->receive(500));
    EXPECT_TRUE(greeted(server.port(), "127.0.0.2")->authenticate("bob", "pw"));
    EXPECT_FALSE(guesser->receive(2, 100ms)) << "the refusal came before the others were served";
    EXPECT_EQ(guesser->receive(2), "ng");
}

TEST(GuessDelay, ParallelGuessersAreHeldToTheRateOfOne) {
    // One guesser alone is refused after 0.25, 0.75, 1.75 and 3.75 s, then every 4 s.
    ServerHarness server;
    ASSERT_TRUE(server.running()) << server.error();
    ASSERT_TRUE(registered(server.port(), "alice"));
    EXPECT_LE(guessTogether({server.port()}, 16, "alice", 6s), 4u);
}

TEST(GuessDelay, GuessersCannotKeepTheOwnerFromSigningIn) {
    // Thirty connections guess at alice from one address; she signs in from another. Each of her checks waits for
    // one of theirs at most (a second here), instead of a lottery against all thirty.
    ServerHarness::Options options;
    options.settings.guessDelay = {250ms, 1s, 10min};
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    ASSERT_TRUE(registered(server.port(), "alice"));
    auto guessing = std::async(std::launch::async, [&] { return guessTogether({server.port()}, 30, "alice", 7s); });
    std::this_thread::sleep_for(3s);
    auto owner = greeted(server.port(), "127.0.0.2");
    ASSERT_TRUE(owner);
    for (const std::string& message :
         {std::string("JUDGE\0", 6), std::string("USER:alice"), std::string("PASSWORD:pw")}) {
        ASSERT_TRUE(owner->send(message));
        EXPECT_EQ(owner->receive(2, 2500ms), "ok") << message;
    }
    EXPECT_GT(guessing.get(), 0u);
}

TEST(GuessDelay, RegistrationProbesAreSlowedLikeFailedSignIns) {
    ServerHarness server;
    ASSERT_TRUE(server.running()) << server.error();
    ASSERT_TRUE(registered(server.port(), "alice"));
    auto prober = greeted(server.port(), "127.0.0.2");
    ASSERT_TRUE(prober);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(prober->exchange(std::string("ENTRY\0", 6)), "ok");
        EXPECT_EQ(prober->exchange("alice"), "ng") << "taken";
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3750ms) << "held back 250, 500, 1000 and 2000 ms";
    EXPECT_TRUE(registered(server.port(), "bob")) << "others register as before";
}

// The failure lines of a real server, read by fail2ban-regex with the shipped filter.
TEST_F(Accounts, FailuresAreLoggedInTheFormTheFail2banFilterMatches) {
    std::ostringstream log;
    ServerHarness::Options options;
    options.log = &log;
    options.logLevel = LogLevel::Info;
    // Small delays keep the test quick; they still double.
    options.settings.guessDelay = {1ms, 4ms, 10min};
    auto server = std::make_unique<ServerHarness>(options);
    ASSERT_TRUE(server->running()) << server->error();
    ASSERT_TRUE(greeted(server->port())->registerUser("alice", "right"));
    ASSERT_TRUE(greeted(server->port())->registerUser("\x8e\x52\x93\x63\x91\xbe\x98\x59", "pw")); // 山田太郎

    struct Attempt {
        const char* source;
        std::string id;
        const char* password;
    };
    // The fourth ID tries to slip another address into the line.
    const std::vector<Attempt> attempts = {
        {"127.0.0.1", "alice", "wrong"},
        {"127.0.0.1", "alice", "wrong"},
        {"127.0.0.1", "nobody", "x"},
        {"127.0.0.2", "x warn 1.2.3.4:1 authentication failed: address 10.9.9.9, ", "x"},
        {"127.0.0.4", "\x8e\x52\x93\x63\x81", "x"}, // 山田 and half a character
        {"127.0.0.3", "alice", "right"},
    };
    for (const Attempt& attempt : attempts) {
        auto client = greeted(server->port(), attempt.source);
        ASSERT_TRUE(client);
        EXPECT_EQ(client->authenticate(attempt.id, attempt.password), attempt.password == std::string("right"));
    }
    // Registration probes: whether an ID is taken tells as much as a sign-in.
    auto prober = greeted(server->port(), "127.0.0.5");
    ASSERT_TRUE(prober);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(prober->exchange(std::string("ENTRY\0", 6)), "ok");
        EXPECT_EQ(prober->exchange("alice"), "ng");
    }
    server.reset(); // the log is complete, and no thread writes to it any more
    const std::string text = log.str();
    for (const char* delay : {"refusal held back 1 ms", "refusal held back 2 ms", "refusal held back 4 ms"}) {
        EXPECT_NE(text.find(delay), std::string::npos) << "the delay doubles: " << text;
    }
    // IDs as the operator reads them: CP932 as UTF-8, anything else escaped.
    for (const char* shown : {"signed in as 山田太郎 (registered)", "user \"山田\\x81\""}) {
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    }

    std::filesystem::create_directories(m_folder + "/filter.d");
    std::filesystem::copy_file("/etc/fail2ban/filter.d/common.conf", m_folder + "/filter.d/common.conf");
    std::filesystem::copy_file(VESMIRA_SOURCE_DIR "/packaging/fail2ban/filter.d/vesmira-server.conf",
                               m_folder + "/filter.d/vesmira-server.conf");
    std::ofstream(m_folder + "/vesmira.log") << text;
    const std::string command = "fail2ban-regex -v -c " + m_folder + " " + m_folder + "/vesmira.log vesmira-server > " +
                                m_folder + "/report 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << TempDir::read(m_folder + "/report");
    const std::string report = TempDir::read(m_folder + "/report");
    // -v lists each match as "|      ADDRESS  DATE".
    std::map<std::string, int> banned;
    const std::regex match("\\|\\s+(\\d+\\.\\d+\\.\\d+\\.\\d+)\\s+\\w{3} \\w{3}");
    for (auto it = std::sregex_iterator(report.begin(), report.end(), match); it != std::sregex_iterator(); ++it) {
        ++banned[(*it)[1]];
    }
    EXPECT_EQ(banned,
              (std::map<std::string, int>{{"127.0.0.1", 3}, {"127.0.0.2", 1}, {"127.0.0.4", 1}, {"127.0.0.5", 2}}))
        << report << text;
}

} // namespace
} // namespace vesmira
