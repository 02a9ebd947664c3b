#pragma once

#include "server/bus/PresenceScripts.h"
#include "server/bus/RedisEndpoint.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vesmira {

class Logger;
class RedisLink;

// The heartbeat of one server sharing a room through Redis, and its watch over the others'. On a thread of its own
// it renews this server's heartbeat key every interval, and announces the leave of the users of any server whose
// key expired (a server killed, or cut off from Redis): each in one script, so however many servers watch, the
// room hears each leave once. It watches only after its own beats have gone through for longer than the expiry:
// after Redis was away, every living server has renewed its key by then.
class NodeHeartbeat {
public:
    struct Settings {
        RedisEndpoint endpoint;
        std::string room; // the stream's key
        std::size_t streamLength = 100000;
        std::chrono::milliseconds interval{1000};
        std::chrono::milliseconds expiry{5000};
    };

    // `rebuild` runs on the heartbeat's thread when this server must write all its users' counts again.
    NodeHeartbeat(Settings settings, std::string server, Logger& logger, std::function<void()> rebuild);
    // Stops and waits for the thread.
    ~NodeHeartbeat();
    NodeHeartbeat(const NodeHeartbeat&) = delete;
    NodeHeartbeat& operator=(const NodeHeartbeat&) = delete;

    void start();
    void stop();

private:
    using Clock = std::chrono::steady_clock;

    void run();
    bool connect(std::string& error);
    bool beat(std::string& error);
    bool watch(std::string& error);

    const Settings m_settings;
    const std::string m_server;
    const PresenceKeys m_keys;
    Logger& m_logger;
    const std::function<void()> m_rebuild;
    std::unique_ptr<RedisLink> m_link;
    std::string m_beatSha;
    std::string m_reapSha;
    Clock::time_point m_beatingSince; // the start of the current run of beats that went through
    Clock::time_point m_lastBeat;
    bool m_beating = false;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace vesmira
