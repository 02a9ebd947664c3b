#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ssl_st;

namespace vesmira {

// A blocking TCP client for tests, plain or over TLS, in which every wait has a deadline: a silent or stuck server
// fails the test instead of hanging it.
class TestClient {
public:
    static constexpr std::chrono::milliseconds kDeadline{5000};

    TestClient() = default;
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    // Connects to 127.0.0.1:port, from `source` (another loopback address such as "127.0.0.2") when given. A
    // non-zero receiveBufferBytes shrinks the socket's receive buffer first, so a client that stops reading backs
    // up into the server sooner.
    bool connect(std::uint16_t port, int receiveBufferBytes = 0, const char* source = nullptr);
    // Connects and completes a TLS handshake, trusting whatever certificate the server shows. Everything after
    // this goes through TLS.
    bool connectTls(std::uint16_t port, const char* source = nullptr);
    // The TLS handshake on a connection made with connect().
    bool startTls();
    // The SHA-256 fingerprint of the certificate the server showed, as "AB:CD:...".
    std::string peerFingerprint() const;
    bool send(std::string_view bytes, std::chrono::milliseconds deadline = kDeadline);
    // Exactly `size` bytes; nullopt on deadline, end of stream or error.
    std::optional<std::string> receive(std::size_t size, std::chrono::milliseconds deadline = kDeadline);
    // What has arrived, at most `most` bytes, waiting up to `wait` for the first: "" when nothing came, nullopt when
    // the connection ended.
    std::optional<std::string> receiveSome(std::size_t most, std::chrono::milliseconds wait);
    // Sends one sign-in message and returns the two-byte reply, or "" when none came.
    std::string exchange(std::string_view message);
    // Reads and discards until the server closes the connection: the byte count, or nullopt if still open.
    std::optional<std::size_t> readUntilClosed(std::chrono::milliseconds deadline = kDeadline);
    void shutdownWrite();
    void close();

    // Full lock-step runs; true when every step was accepted.
    bool registerUser(std::string_view id, std::string_view password);
    bool authenticate(std::string_view id, std::string_view password);

private:
    bool waitFor(short events, std::chrono::steady_clock::time_point until);
    // One transfer that does not wait: the byte count, 0 at the end of the stream, or -1 with errno; EAGAIN sets
    // `wants` to what to wait for.
    long transfer(char* data, std::size_t size, bool sending, short& wants);

    int m_fd = -1;
    ssl_st* m_ssl = nullptr;
};

// 127.0.0.1:port, for the tests' own sockets.
sockaddr_in loopbackAddress(std::uint16_t port);
// One chat line as clients send and receive it: the line, zero-filled to the record size. The tests' own figure,
// not taken from the server's code: a server whose records changed size must fail them.
inline constexpr std::size_t kRecordBytes = 500;
std::string record(std::string_view line);
// "<ID>：<text>", a chat line as the client writes it before the zero fill: the ID, "：" (81 46), the text.
std::string said(std::string_view id, std::string_view text);
// said(id, text) as a record.
std::string line(std::string_view id, std::string_view text);
// The texts of the lines the server writes when a user signs in ("入室しました。") and when its last connection ends
// ("退室しました。", the same bytes as the leave notice a client sends).
inline constexpr std::string_view kJoinedText = "\x93\xfc\x8e\xba\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
inline constexpr std::string_view kLeftText = "\x91\xde\x8e\xba\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// Those lines of `id`, as records.
std::string joined(std::string_view id);
std::string left(std::string_view id);
// A client connected (from `source` when given; over TLS when `tls`) that has read the server's greeting; nullptr
// when either failed.
std::unique_ptr<TestClient> greeted(std::uint16_t port, const char* source = nullptr, bool tls = false);
// A greeted client that has registered `id` with the password "pw"; nullptr when any step failed.
std::unique_ptr<TestClient> registered(std::uint16_t port, const std::string& id, bool tls = false);
// `guessers` connections (spread over `ports`, all from 127.0.0.1) wait at the password step of `id` and are let go
// together; each guesses wrong passwords one after another. The refusals they got within `window` of the start.
std::size_t guessTogether(const std::vector<std::uint16_t>& ports, int guessers, const std::string& id,
                          std::chrono::milliseconds window);

} // namespace vesmira
