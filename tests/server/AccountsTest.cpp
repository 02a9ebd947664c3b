#include "ChildProcess.h"
#include "ServerHarness.h"
#include "TestClient.h"
#include "server/admin/Cp932Text.h"
#include "server/log/Logger.h"
#include "server/metrics/ServerStats.h"
#include "server/users/UserStore.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <regex>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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

// vesmira-server with `args`, `input` on its standard input (a pipe, so not a terminal).
Outcome runServer(const std::vector<std::string>& args, const std::string& input = {}) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            ::close(fd);
        }
        std::vector<char*> argv = {const_cast<char*>(VESMIRA_SERVER_BINARY)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    static_cast<void>(::write(in[1], input.data(), input.size()));
    ::close(in[1]);
    Outcome run;
    std::array<pollfd, 2> fds = {{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
    std::array<std::string*, 2> sinks = {&run.out, &run.err};
    for (int open = 2; open > 0 && poll(fds.data(), fds.size(), 10000) > 0;) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[4096];
                const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
                if (got <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                } else {
                    sinks[i]->append(buffer, static_cast<std::size_t>(got));
                }
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

Outcome users(const std::string& db, std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin(), "users");
    args.insert(args.end(), {"--db", db, "--hash-cost", "min"});
    return runServer(args, input);
}

std::unique_ptr<TestClient> greeted(std::uint16_t port, const char* source = nullptr) {
    auto client = std::make_unique<TestClient>();
    if (!client->connect(port, 0, source) || client->receive(5) != "Hello") {
        return nullptr;
    }
    return client;
}

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "vesmira-accounts-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(m_folder); }

    std::string m_folder;
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
        EXPECT_EQ(Cp932Text::toUtf8(bytes), shown);
    }
}

TEST_F(TempFolder, UsersCommandManagesAccountsInADatabaseFile) {
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
        {{"passwd", "nobody"}, "pw\n", 1, "there is no account 'nobody'"},
        {{"lock", "alice"}, "", 0, "locked 'alice'"},
        {{"remove", "nobody"}, "", 1, "there is no account"},
        {{"add", "〠"}, "pw\n", 2, "cannot be written in CP932"},
        {{"invite", tooLong}, "", 2, "45 bytes in CP932; a client sends at most 44"},
        {{"invite", hiragana}, "", 2, "46 bytes"},
        {{"invite", "a\tb"}, "", 2, "control character"},
        {{"invite", ""}, "", 2, "empty"},
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
    EXPECT_TRUE(std::regex_search(list.out, std::regex("\ninvited .* never +テスト\n"))) << list.out;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 3) << list.out;
}

TEST(Accounts, LockedOrRemovedUsersAreClosedWithinASecondAndRefusedAtThePassword) {
    ServerHarness server;
    ASSERT_TRUE(server.running()) << server.error();
    const std::string& db = server.databasePath();
    ASSERT_EQ(users(db, {"add", "テスト"}, "pw\n").exitCode, 0);

    auto tesuto = greeted(server.port());
    ASSERT_TRUE(tesuto && tesuto->authenticate(kTesuto, "pw")) << "the typed ID is stored as the client's bytes";
    auto bob = greeted(server.port());
    ASSERT_TRUE(bob && bob->registerUser("bob", "pw"));

    ASSERT_EQ(users(db, {"lock", "テスト"}).exitCode, 0);
    EXPECT_TRUE(tesuto->readUntilClosed(3s).has_value()) << "a locked user's connection is closed";
    auto again = greeted(server.port());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->exchange(std::string("JUDGE\0", 6)), "ok");
    EXPECT_EQ(again->exchange("USER:" + kTesuto), "ok");
    EXPECT_EQ(again->exchange("PASSWORD:pw"), "ng") << "refused at the password step";
    ASSERT_EQ(users(db, {"unlock", "テスト"}).exitCode, 0);
    EXPECT_TRUE(greeted(server.port())->authenticate(kTesuto, "pw"));

    ASSERT_EQ(users(db, {"remove", "bob"}).exitCode, 0);
    EXPECT_TRUE(bob->readUntilClosed(3s).has_value()) << "a removed user's connection is closed";
    EXPECT_EQ(server.stats().accountClosures(), 2u);

    const Outcome list = users(db, {"list"});
    EXPECT_TRUE(std::regex_search(list.out, std::regex("\nactive +\\S+ +\\d{4}-\\S+ +テスト\n"))) << list.out;
}

TEST(Registration, EachModeThroughARealExchange) {
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
        if (c.invited) {
            std::ostringstream log;
            Logger logger(LogLevel::Warn, log);
            std::string error;
            // Another connection to the file, as the operator's command would be.
            auto store =
                UserStore::open(server.databasePath(), PasswordHasher(PasswordHasher::Cost::Minimum), logger, error);
            ASSERT_TRUE(store && store->invite(c.id) == UserDirectory::Answer::Yes) << error;
        }
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
    auto alice = greeted(server.port());
    auto bob = greeted(server.port());
    auto guesser = greeted(server.port());
    ASSERT_TRUE(alice && bob && guesser && alice->registerUser("alice", "pw") && bob->registerUser("bob", "pw"));
    ASSERT_EQ(guesser->exchange(std::string("JUDGE\0", 6)), "ok");
    ASSERT_EQ(guesser->exchange("USER:alice"), "ok");
    ASSERT_TRUE(guesser->send("PASSWORD:wrong"));
    // Its refusal is held back for seconds; meanwhile the others chat and sign in.
    ASSERT_TRUE(alice->send(std::string(500, 'x')));
    EXPECT_TRUE(bob->receive(500));
    EXPECT_TRUE(greeted(server.port(), "127.0.0.2")->authenticate("bob", "pw"));
    EXPECT_FALSE(guesser->receive(2, 100ms)) << "the refusal came before the others were served";
    EXPECT_EQ(guesser->receive(2), "ng");
}

// The failure lines of a real server, read by fail2ban-regex with the shipped filter.
TEST(GuessDelay, FailuresAreLoggedInTheFormTheFail2banFilterMatches) {
    std::ostringstream log;
    ServerHarness::Options options;
    options.log = &log;
    options.logLevel = LogLevel::Info;
    // Small delays keep the test quick; they still double.
    options.settings.guessDelay = {1ms, 4ms, 10min};
    auto server = std::make_unique<ServerHarness>(options);
    ASSERT_TRUE(server->running()) << server->error();
    ASSERT_TRUE(greeted(server->port())->registerUser("alice", "right"));

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
        {"127.0.0.3", "alice", "right"},
    };
    for (const Attempt& attempt : attempts) {
        auto client = greeted(server->port(), attempt.source);
        ASSERT_TRUE(client);
        EXPECT_EQ(client->authenticate(attempt.id, attempt.password), attempt.password == std::string("right"));
    }
    server.reset(); // the log is complete, and no thread writes to it any more
    const std::string text = log.str();
    for (const char* delay : {"refusal held back 1 ms", "refusal held back 2 ms", "refusal held back 4 ms"}) {
        EXPECT_NE(text.find(delay), std::string::npos) << "the delay doubles: " << text;
    }

    const std::string folder = (std::filesystem::temp_directory_path() / "vesmira-f2b-XXXXXX").string();
    std::string pattern = folder;
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    std::filesystem::create_directories(pattern + "/filter.d");
    std::filesystem::copy_file("/etc/fail2ban/filter.d/common.conf", pattern + "/filter.d/common.conf");
    std::filesystem::copy_file(VESMIRA_SOURCE_DIR "/packaging/fail2ban/filter.d/vesmira-server.conf",
                               pattern + "/filter.d/vesmira-server.conf");
    std::ofstream(pattern + "/vesmira.log") << text;
    const std::string command = "fail2ban-regex -v -c " + pattern + " " + pattern + "/vesmira.log vesmira-server 2>&1";
    std::string report;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            report.append(buffer, got);
        }
        EXPECT_EQ(pclose(pipe), 0) << report;
    }
    std::filesystem::remove_all(pattern);
    // -v lists each match as "|      ADDRESS  DATE".
    std::map<std::string, int> banned;
    const std::regex match("\\|\\s+(\\d+\\.\\d+\\.\\d+\\.\\d+)\\s+\\w{3} \\w{3}");
    for (auto it = std::sregex_iterator(report.begin(), report.end(), match); it != std::sregex_iterator(); ++it) {
        ++banned[(*it)[1]];
    }
    EXPECT_EQ(banned, (std::map<std::string, int>{{"127.0.0.1", 3}, {"127.0.0.2", 1}})) << report << text;
}

} // namespace
} // namespace vesmira
