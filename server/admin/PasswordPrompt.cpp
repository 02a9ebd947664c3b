#include "server/admin/PasswordPrompt.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace vesmira {

namespace {

// One line from a descriptor, byte by byte so that nothing after it is consumed; nullopt at end of input with
// nothing read.
std::optional<std::string> readLine(int fd) {
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return line.empty() ? std::nullopt : std::optional(line);
        }
        if (c == '\n') {
            break;
        }
        line += c;
        // Nothing sensible is that long; stop before reading a whole file into memory.
        if (line.size() > 4096) {
            break;
        }
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// The terminal's settings while echo is off, for a signal that ends the program meanwhile.
termios g_saved{};
volatile sig_atomic_t g_echoOff = 0;

void restoreAndReraise(int signal) {
    if (g_echoOff) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Echo off for as long as it lives; Ctrl-C (or a termination signal) meanwhile gives the terminal back as it
// was too.
class EchoOff {
public:
    EchoOff() {
        if (tcgetattr(STDIN_FILENO, &g_saved) != 0) {
            return;
        }
        termios quiet = g_saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            std::signal(signal, restoreAndReraise);
        }
        g_echoOff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (g_echoOff) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
            g_echoOff = 0;
        }
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            std::signal(signal, SIG_DFL);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
};

} // namespace

std::optional<std::string> PasswordPrompt::read(const std::string& prompt, std::string& error) {
    if (!isatty(STDIN_FILENO)) {
        auto line = readLine(STDIN_FILENO);
        if (!line) {
            error = "no password on standard input (give it as the first line)";
        }
        return line;
    }
    EchoOff echoOff;
    std::cerr << prompt << ": " << std::flush;
    const auto first = readLine(STDIN_FILENO);
    if (!first) {
        error = "no password given";
        return std::nullopt;
    }
    std::cerr << "Again, to confirm: " << std::flush;
    const auto second = readLine(STDIN_FILENO);
    if (second != first) {
        error = "the two passwords differ";
        return std::nullopt;
    }
    return first;
}

} // namespace vesmira
