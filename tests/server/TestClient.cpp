#include "TestClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
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

bool TestClient::connectTls(std::uint16_t port, const char* source) {
    return connect(port, 0, source) && startTls();
}

bool TestClient::startTls() {
    static SSL_CTX* const context = SSL_CTX_new(TLS_client_method());
    if (m_fd < 0 || !context) {
        return false;
    }
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_ssl = SSL_new(context);
    SSL_set_fd(m_ssl, m_fd);
    const auto until = Clock::now() + kDeadline;
    for (;;) {
        const int result = SSL_connect(m_ssl);
        if (result == 1) {
            return true;
        }
        const int error = SSL_get_error(m_ssl, result);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !waitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, until)) {
            return false;
        }
    }
}

std::string TestClient::peerFingerprint() const {
    X509* certificate = m_ssl ? SSL_get1_peer_certificate(m_ssl) : nullptr;
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    std::string text;
    if (certificate && X509_digest(certificate, EVP_sha256(), digest.data(), &size) == 1) {
        char hex[4];
        for (unsigned int i = 0; i < size; ++i) {
            std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", digest[i]);
            text += hex;
        }
    }
    X509_free(certificate);
    return text;
}

long TestClient::transfer(char* data, std::size_t size, bool sending, short& wants) {
    wants = sending ? POLLOUT : POLLIN;
    if (!m_ssl) {
        return sending ? ::send(m_fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT) : ::recv(m_fd, data, size, MSG_DONTWAIT);
    }
    const int count = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
    const int result = sending ? SSL_write(m_ssl, data, count) : SSL_read(m_ssl, data, count);
    if (result > 0) {
        return result;
    }
    switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        wants = SSL_get_error(m_ssl, result) == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    default:
        // The server's TLS ends without its close alert when it closes at once, as it does for a reset.
        errno = ECONNRESET;
        return -1;
    }
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
    short wants = POLLOUT;
    while (!bytes.empty()) {
        if (m_fd < 0 || !waitFor(wants, until)) {
            return false;
        }
        const long sent = transfer(const_cast<char*>(bytes.data()), bytes.size(), true, wants);
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
    short wants = POLLIN;
    while (got < size) {
        // TLS may hold decrypted bytes that no poll would show: read first, wait after.
        const long n = m_fd < 0 ? 0 : transfer(data.data() + got, size - got, false, wants);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            return std::nullopt;
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
        if (n < 0 && !waitFor(wants, until)) {
            return std::nullopt;
        }
    }
    return data;
}

std::optional<std::string> TestClient::receiveSome(std::size_t most, std::chrono::milliseconds wait) {
    const auto until = Clock::now() + wait;
    std::string data(most, '\0');
    short wants = POLLIN;
    for (;;) {
        // As in receive(): read first, wait after.
        const long n = m_fd < 0 ? 0 : transfer(data.data(), most, false, wants);
        if (n > 0) {
            data.resize(static_cast<std::size_t>(n));
            return data;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return std::nullopt;
        }
        if (!waitFor(wants, until)) {
            return std::string();
        }
    }
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
    short wants = POLLIN;
    for (;;) {
        if (m_fd < 0) {
            return std::nullopt;
        }
        const long n = transfer(sink.data(), sink.size(), false, wants);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return total;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return std::nullopt;
        }
        total += n > 0 ? static_cast<std::size_t>(n) : 0;
        if (n < 0 && !waitFor(wants, until)) {
            return std::nullopt;
        }
    }
}

void TestClient::shutdownWrite() {
    if (m_ssl) {
        SSL_shutdown(m_ssl); // TLS's own end of stream, before TCP's
    }
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_WR);
    }
}

void TestClient::close() {
    if (m_ssl) {
        SSL_free(m_ssl);
        m_ssl = nullptr;
    }
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

std::string said(std::string_view id, std::string_view text) {
    return std::string(id) + "\x81\x46" + std::string(text);
}

std::string line(std::string_view id, std::string_view text) {
    return record(said(id, text));
}

std::string joined(std::string_view id) {
    return line(id, kJoinedText);
}

std::string left(std::string_view id) {
    return line(id, kLeftText);
}

std::unique_ptr<TestClient> greeted(std::uint16_t port, const char* source, bool tls) {
    auto client = std::make_unique<TestClient>();
    if (!(tls ? client->connectTls(port, source) : client->connect(port, 0, source)) || client->receive(5) != "Hello") {
        return nullptr;
    }
    return client;
}

std::unique_ptr<TestClient> registered(std::uint16_t port, const std::string& id, bool tls) {
    auto client = greeted(port, nullptr, tls);
    return client && client->registerUser(id, "pw") ? std::move(client) : nullptr;
}

} // namespace vesmira

namespace vesmira {

std::size_t guessTogether(const std::vector<std::uint16_t>& ports, int guessers, const std::string& id,
                          std::chrono::milliseconds window) {
    const std::string judge("JUDGE\0", 6);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < guessers; ++i) {
        auto client = greeted(ports[static_cast<std::size_t>(i) % ports.size()]);
        if (!client || client->exchange(judge) != "ok" || client->exchange("USER:" + id) != "ok") {
            return SIZE_MAX;
        }
        clients.push_back(std::move(client));
    }
    std::atomic<std::size_t> refusals = 0;
    const Clock::time_point end = Clock::now() + window;
    std::vector<std::thread> threads;
    for (int i = 0; i < guessers; ++i) {
        threads.emplace_back([&, i] {
            TestClient& client = *clients[static_cast<std::size_t>(i)];
            // Every reply is waited for until the end of the window, no longer.
            const auto reply = [&](const std::string& message) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
                return left.count() > 0 && client.send(message) ? client.receive(2, left) : std::nullopt;
            };
            for (int guess = 0; reply("PASSWORD:wrong" + std::to_string(guess)) == "ng"; ++guess) {
                ++refusals;
                if (reply(judge) != "ok" || reply("USER:" + id) != "ok") {
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return refusals;
}

} // namespace vesmira
