#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vesmira {

// A program run by a test, its output appended to a log file; killed (SIGKILL) and reaped at destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a full path). With `user` and running as root: as that user (PostgreSQL will not run as
    // root). False when it could not be started.
    bool start(const std::vector<std::string>& argv, const std::string& log, const char* user = nullptr);
    bool running();
    void signal(int number);
    // The exit code (or 128 + signal), or nullopt when still running at the deadline.
    std::optional<int> wait(std::chrono::milliseconds deadline);
    // SIGKILL, then reaped.
    void kill();
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// A port on 127.0.0.1 free at the moment of asking, below the ephemeral range when one can be found there, so
// that no outgoing connection takes it before the program that is given it binds it.
std::uint16_t freePort();
// True once a TCP connection to 127.0.0.1:port succeeds within the deadline.
bool waitForPort(std::uint16_t port, std::chrono::milliseconds deadline);
// Asks `done` again every `interval` until it holds (true) or the deadline has passed (false).
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds deadline,
                std::chrono::milliseconds interval = std::chrono::milliseconds(20));
// How many times `text` occurs in the file.
std::size_t countInFile(const std::string& path, const std::string& text);

} // namespace vesmira
