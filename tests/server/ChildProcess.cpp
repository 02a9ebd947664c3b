#include "ChildProcess.h"

#include "TempDir.h"
#include "TestClient.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vesmira {

ChildProcess::~ChildProcess() {
    kill();
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& log, const char* user) {
    kill();
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const bool asUser = user && geteuid() == 0;
    const passwd* account = asUser ? getpwnam(user) : nullptr;
    const uid_t uid = account ? account->pw_uid : 0;
    const gid_t gid = account ? account->pw_gid : 0;
    const int out = asUser && !account ? -1 : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        return false;
    }
    if (account) {
        static_cast<void>(fchown(out, uid, gid));
    }
    m_pid = fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls from here on: the test may have threads.
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        if (account && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
            _exit(126);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(out);
    return m_pid > 0;
}

bool ChildProcess::running() {
    return m_pid > 0 && !wait(std::chrono::milliseconds(0));
}

void ChildProcess::signal(int number) {
    if (m_pid > 0) {
        ::kill(m_pid, number);
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (m_pid > 0) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid || done < 0) {
            m_pid = -1;
            return done < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= until) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

void ChildProcess::kill() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        wait(std::chrono::seconds(10));
    }
}

namespace {

// Whether a new TCP socket can bind to (or, with `connectTo`, connect to) 127.0.0.1:port.
bool onLoopback(std::uint16_t port, bool connectTo) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    const bool done = (connectTo ? ::connect(fd, at, sizeof address) : ::bind(fd, at, sizeof address)) == 0;
    ::close(fd);
    return done;
}

} // namespace

std::uint16_t freePort() {
    thread_local std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        // 20000-32767: below Linux's default ephemeral range.
        const auto candidate = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(20000, 32767)(random));
        if (onLoopback(candidate, false)) {
            return candidate;
        }
    }
    return 0;
}

bool waitForPort(std::uint16_t port, std::chrono::milliseconds deadline) {
    return eventually([port] { return onLoopback(port, true); }, deadline);
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds deadline,
                std::chrono::milliseconds interval) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

std::size_t countInFile(const std::string& path, const std::string& text) {
    const std::string content = TempDir::read(path);
    std::size_t count = 0;
    for (auto at = content.find(text); at != std::string::npos; at = content.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

} // namespace vesmira
