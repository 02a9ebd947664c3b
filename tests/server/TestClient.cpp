#include "TestClient.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace vesmira {

using Clock = std::chrono::steady_clock;

TestClient::~TestClient() {
    close();
}

bool TestClient::connect(std::uint16_t port, int receiveBufferBytes, const char* source) {
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        return false;
    }
    if (receiveBufferBytes > 0) {
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }
    // Each send() is meant to be its own segment when a test splits a record on purpose.
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (source) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
            ::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return false;
        }
    }
    const sockaddr_in address = loopbackAddress(port);
    // Loopback connects complete or fail at once, so no deadline is needed here.
    return ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool TestClient::waitFor(short events, Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd entry{m_fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool TestClient::send(std::string_view bytes, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    while (!bytes.empty()) {
        if (m_fd < 0 || !waitFor(POLLOUT, until)) {
            return false;
        }
        const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        bytes.remove_prefix(sent > 0 ? static_cast<std::size_t>(sent) : 0);
    }
    return true;
}

std::optional<std::string> TestClient::receive(std::size_t size, std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    std::string data(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        if (m_fd < 0 || !waitFor(POLLIN, until)) {
            return std::nullopt;
        }
        const ssize_t n = ::recv(m_fd, data.data() + got, size - got, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return std::nullopt;
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return data;
}

std::string TestClient::exchange(std::string_view message) {
    if (!send(message)) {
        return {};
    }
    return receive(2).value_or(std::string{});
}

std::optional<std::size_t> TestClient::readUntilClosed(std::chrono::milliseconds deadline) {
    const auto until = Clock::now() + deadline;
    std::array<char, 65536> sink{};
    std::size_t total = 0;
    for (;;) {
        if (m_fd < 0 || !waitFor(POLLIN, until)) {
            return std::nullopt;
        }
        const ssize_t n = ::recv(m_fd, sink.data(), sink.size(), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return total;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return std::nullopt;
        }
        total += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

void TestClient::shutdownWrite() {
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_WR);
    }
}

void TestClient::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool TestClient::registerUser(std::string_view id, std::string_view password) {
    return exchange(std::string_view("ENTRY\0", 6)) == "ok" && exchange(id) == "ok" && exchange(password) == "ok";
}

bool TestClient::authenticate(std::string_view id, std::string_view password) {
    return exchange(std::string_view("JUDGE\0", 6)) == "ok" && exchange("USER:" + std::string(id)) == "ok" &&
           exchange("PASSWORD:" + std::string(password)) == "ok";
}

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

std::string record(std::string_view line) {
    std::string bytes(line);
    bytes.resize(kRecordBytes, '\0');
    return bytes;
}

std::string joined(std::string_view id) {
    return record(std::string(id) + "\x81\x46\x93\xfc\x8e\xba\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42");
}

std::string left(std::string_view id) {
    return record(std::string(id) + "\x81\x46\x91\xde\x8e\xba\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42");
}

std::unique_ptr<TestClient> greeted(std::uint16_t port, const char* source) {
    auto client = std::make_unique<TestClient>();
    if (!client->connect(port, 0, source) || client->receive(5) != "Hello") {
        return nullptr;
    }
    return client;
}

std::unique_ptr<TestClient> registered(std::uint16_t port, const std::string& id) {
    auto client = greeted(port);
    return client && client->registerUser(id, "pw") ? std::move(client) : nullptr;
}

} // namespace vesmira
