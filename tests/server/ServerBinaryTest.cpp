#include "TempFolder.h"
#include "TestCertificate.h"
#include "TestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace vesmira {
namespace {

using Clock = std::chrono::steady_clock;

// vesmira-server as a child process with its stdout on a pipe.
class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> args) {
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
        args.insert(args.begin(), VESMIRA_SERVER_BINARY);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, VESMIRA_SERVER_BINARY, &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        m_stdout = pipeFds[0];
    }
    ~ServerProcess() {
        if (m_pid > 0 && !exitStatus(std::chrono::milliseconds(0))) {
            kill(m_pid, SIGKILL);
            exitStatus(std::chrono::seconds(5));
        }
        if (m_stdout >= 0) {
            close(m_stdout);
        }
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // One line of stdout without its newline; empty on deadline or end of output.
    std::string readLine(std::chrono::milliseconds deadline = TestClient::kDeadline) {
        const auto until = Clock::now() + deadline;
        std::string line;
        char c = 0;
        while (Clock::now() < until) {
            pollfd entry{m_stdout, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (poll(&entry, 1, static_cast<int>(left.count()) + 1) <= 0 || read(m_stdout, &c, 1) != 1) {
                break;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return {};
    }

    // The exit code (or 128 + signal), or nullopt when the process is still running at the deadline.
    std::optional<int> exitStatus(std::chrono::milliseconds deadline = TestClient::kDeadline) {
        const auto until = Clock::now() + deadline;
        for (;;) {
            int status = 0;
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (done < 0 || Clock::now() >= until) {
                return std::nullopt;
            }
            poll(nullptr, 0, 10); // waitpid cannot block with a deadline, so poll it
        }
    }

    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
};

class ServerBinaryTest : public InTempFolder<> {};

TEST_F(ServerBinaryTest, ListensGreetsAndStopsOnSigterm) {
    const std::string db = m_folder + "/state/vesmira/users.sqlite3";
    ServerProcess server(
        {"--listen", "127.0.0.1", "--port", "0", "--db", db, "--hash-cost", "min", "--log-level", "warn"});
    ASSERT_GT(server.pid(), 0);
    const std::string line = server.readLine();
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_TRUE(line.starts_with(prefix)) << line;
    const int port = std::stoi(line.substr(prefix.size()));
    ASSERT_GT(port, 0);

    TestClient client;
    ASSERT_TRUE(client.connect(static_cast<std::uint16_t>(port)));
    EXPECT_EQ(client.receive(5), "Hello");
    EXPECT_TRUE(client.registerUser("alice", "pw"));
    EXPECT_TRUE(std::filesystem::exists(db)) << "the database folder is created";

    ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(server.exitStatus(), 0);
    EXPECT_TRUE(client.readUntilClosed().has_value());
}

TEST_F(ServerBinaryTest, CommandLineOutcomes) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string firstLineStart;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, 2, ""},
        {{"--port", "99999"}, 2, ""},
        {{"--help"}, 0, "Usage: vesmira-server"},
        {{"--version"}, 0, "vesmira-server "},
        {{"--port", "0", "--db", m_folder + "/a-folder"}, 1, ""},
    };
    std::filesystem::create_directory(m_folder + "/a-folder");
    for (const Case& c : cases) {
        ServerProcess server(c.args);
        ASSERT_GT(server.pid(), 0);
        const std::string line = server.readLine();
        EXPECT_TRUE(line.starts_with(c.firstLineStart)) << c.args.front() << ": " << line;
        EXPECT_EQ(server.exitStatus(), c.exitCode) << c.args.front();
    }
}

TEST_F(ServerBinaryTest, TlsOnlyReloadsItsCertificateOnSighupKeepingEveryone) {
    const TestCertificate first = TestCertificate::make(m_folder, "first", "localhost");
    const TestCertificate second = TestCertificate::make(m_folder, "second", "localhost");
    const std::string certificate = m_folder + "/cert.pem";
    const std::string key = m_folder + "/key.pem";
    const auto install = [&](const std::string& certificateBytes, const std::string& keyBytes) {
        ASSERT_TRUE(TempDir::write(certificate, certificateBytes) && TempDir::write(key, keyBytes));
    };
    install(TempDir::read(first.certificate), TempDir::read(first.key));
    ServerProcess server({"--listen", "127.0.0.1", "--port", "0", "--tls-port", "0", "--tls-only", "--tls-cert",
                          certificate, "--tls-key", key, "--db", m_folder + "/u.db", "--hash-cost", "min",
                          "--log-level", "warn"});
    const std::string line = server.readLine();
    ASSERT_TRUE(line.starts_with("tls on 127.0.0.1:")) << "no plain listener: " << line;
    const auto port = static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    auto before = registered(port, "alice", true);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->peerFingerprint(), first.fingerprint);

    // A new certificate for new connections; a file that is no certificate changes nothing.
    const auto newcomerSees = [&] {
        TestClient newcomer;
        return newcomer.connectTls(port) ? newcomer.peerFingerprint() : std::string("<no handshake>");
    };
    for (const auto& [certificateBytes, expected] : std::vector<std::pair<std::string, std::string>>{
             {TempDir::read(second.certificate), second.fingerprint}, {"not a certificate", second.fingerprint}}) {
        install(certificateBytes, TempDir::read(second.key));
        ASSERT_EQ(kill(server.pid(), SIGHUP), 0);
        std::string seen;
        for (int i = 0; i < 100 && seen != expected; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            seen = newcomerSees();
        }
        EXPECT_EQ(seen, expected);
    }
    auto after = registered(port, "bob", true);
    ASSERT_TRUE(after);
    ASSERT_TRUE(before->send(vesmira::line("alice", "signed in before the reload")));
    EXPECT_EQ(after->receive(kRecordBytes), vesmira::line("alice", "signed in before the reload"));
    ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
    EXPECT_EQ(server.exitStatus(), 0);
}

TEST_F(ServerBinaryTest, TlsInitMakesAPrivateKeyAndPrintsTheFingerprintOnce) {
    const std::string certificate = m_folder + "/cert.pem";
    const std::string key = m_folder + "/key.pem";
    struct Run {
        std::vector<std::string> extra;
        int exitCode;
    };
    std::string printed;
    for (const Run& run : std::vector<Run>{{{"--name", "chat.example"}, 0}, {{}, 1}, {{"--if-missing"}, 0}}) {
        std::vector<std::string> args = {"tls-init", "--cert", certificate, "--key", key};
        args.insert(args.end(), run.extra.begin(), run.extra.end());
        ServerProcess command(args);
        std::string fingerprint;
        for (std::string line = command.readLine(); !line.empty(); line = command.readLine()) {
            if (line.starts_with("SHA-256 fingerprint: ")) {
                fingerprint = line.substr(21);
            }
        }
        EXPECT_EQ(command.exitStatus(), run.exitCode) << run.extra.size();
        EXPECT_EQ(fingerprint, run.exitCode == 0 ? TestCertificate::fingerprintOf(certificate) : "");
        printed = fingerprint.empty() ? printed : fingerprint;
    }
    EXPECT_EQ(TestCertificate::fingerprintOf(certificate), printed) << "the second run left the files alone";
    struct stat keyStatus {};
    struct stat certificateStatus {};
    ASSERT_EQ(stat(key.c_str(), &keyStatus), 0);
    ASSERT_EQ(stat(certificate.c_str(), &certificateStatus), 0);
    EXPECT_EQ(keyStatus.st_mode & 0777, 0600u);
    EXPECT_EQ(certificateStatus.st_mode & 0777, 0644u);
}

} // namespace
} // namespace vesmira
