#include "ScriptedPeer.h"

#include "platform/base/CString.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

bool waitReadable(int fd, Clock::time_point deadline) {
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{fd, POLLIN, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace

PeerConnection::~PeerConnection() {
    close();
}

bool PeerConnection::send(std::string_view bytes) {
    std::size_t sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return m_fd >= 0;
}

std::optional<std::string> PeerConnection::read(std::size_t count, std::chrono::milliseconds limit) {
    std::string bytes;
    auto deadline = Clock::now() + limit;
    while (m_fd >= 0 && bytes.size() < count) {
        if (!waitReadable(m_fd, deadline)) {
            return std::nullopt;
        }
        char buffer[4096];
        ssize_t n = ::recv(m_fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (n <= 0) {
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return m_fd >= 0 ? std::optional<std::string>(bytes) : std::nullopt;
}

std::string PeerConnection::readAvailable(std::chrono::milliseconds limit) {
    std::string bytes;
    auto deadline = Clock::now() + limit;
    while (m_fd >= 0 && waitReadable(m_fd, deadline)) {
        char buffer[4096];
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

bool PeerConnection::waitForEnd(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (m_fd >= 0 && waitReadable(m_fd, deadline)) {
        char buffer[4096];
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return true;
        }
    }
    return false;
}

void PeerConnection::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void PeerConnection::reset() {
    if (m_fd >= 0) {
        linger option{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        close();
    }
}

int listenOnLoopback(int backlog, int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

ScriptedPeer::ScriptedPeer() {
    m_listenFd = listenOnLoopback(8, &m_port);
}

ScriptedPeer::~ScriptedPeer() {
    finish(std::chrono::seconds(20));
    if (m_thread.joinable()) {
        // A script that never ends would hang the suite; the failure has been reported by finish().
        m_thread.detach();
    }
    ::close(m_listenFd);
}

void ScriptedPeer::run(Script script) {
    finish();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_done = false;
    m_thread = std::thread([this, script = std::move(script)] {
        if (waitReadable(m_listenFd, Clock::now() + std::chrono::seconds(20))) {
            int fd = ::accept(m_listenFd, nullptr, nullptr);
            if (fd >= 0) {
                PeerConnection connection(fd);
                script(connection);
            }
        }
        m_done = true;
    });
}

bool ScriptedPeer::finish(std::chrono::milliseconds limit) {
    if (!m_thread.joinable()) {
        return true;
    }
    bool done = pumpUntil([this] { return m_done.load(); }, limit);
    if (done) {
        m_thread.join();
    }
    return done;
}

bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

bool waitForFlag(const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!flag.load()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string chatRecord(const std::string& line) {
    std::string bytes = line;
    bytes.resize(500, '\0');
    return bytes;
}

std::string sjis(const std::string& utf8) {
    return CString::fromUtf8(utf8).bytes();
}
