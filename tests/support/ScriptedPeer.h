#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

// A TCP peer on 127.0.0.1 that plays the server's side from a script on its own thread, since the client's
// blocking calls hold the test's thread.
class PeerConnection {
public:
    explicit PeerConnection(int fd) : m_fd(fd) {}
    ~PeerConnection();
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    bool send(std::string_view bytes);
    // Reads exactly `count` bytes; nullopt when the stream ends or the time runs out first.
    std::optional<std::string> read(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Whatever arrives within `limit` (empty when nothing does).
    std::string readAvailable(std::chrono::milliseconds limit);
    // True when the client closes its side (end of stream) within `limit`.
    bool waitForEnd(std::chrono::milliseconds limit = std::chrono::seconds(10));
    int handle() const { return m_fd; }
    void close();
    // Closes with a reset instead of an orderly end of stream.
    void reset();

private:
    int m_fd;
};

class ScriptedPeer {
public:
    using Script = std::function<void(PeerConnection&)>;

    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int port() const { return m_port; }
    // Accepts the next connection and runs `script` on it on the peer thread.
    void run(Script script);
    // Waits for the script to end; false when it did not within `limit`.
    bool finish(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    int m_listenFd = -1;
    int m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_done{true};
};

// A socket listening on 127.0.0.1 at a free port, which is stored in `port`; -1 when none could be made.
int listenOnLoopback(int backlog, int* port);

// Runs the event loop until `condition` holds or `limit` passes; returns the condition's last value.
bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));
// Runs the event loop for a while.
void pumpFor(std::chrono::milliseconds duration);

// Waits on the peer thread until the test's thread raises `flag`; false after `limit`.
bool waitForFlag(const std::atomic<bool>& flag, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A relayed chat record: the line's bytes, zero-filled to 500.
std::string chatRecord(const std::string& line);

// Bytes from a UTF-8 literal, as CP932.
std::string sjis(const std::string& utf8);
