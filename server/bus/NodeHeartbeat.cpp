#include "server/bus/NodeHeartbeat.h"

#include "protocol/Record.h"
#include "server/bus/RedisLink.h"
#include "server/log/Logger.h"

#include <hiredis.h>

namespace vesmira {

namespace {

constexpr std::chrono::milliseconds kConnectTimeout{2000};

} // namespace

NodeHeartbeat::NodeHeartbeat(Settings settings, std::string server, Logger& logger, std::function<void()> rebuild)
    : m_settings(std::move(settings)), m_server(std::move(server)), m_keys(m_settings.room, m_server), m_logger(logger),
      m_rebuild(std::move(rebuild)), m_link(std::make_unique<RedisLink>()) {}

NodeHeartbeat::~NodeHeartbeat() {
    stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void NodeHeartbeat::start() {
    m_thread = std::thread([this] { run(); });
}

void NodeHeartbeat::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_link->interrupt();
}

void NodeHeartbeat::run() {
    for (;;) {
        std::string error;
        bool ok = (m_link->connected() || connect(error)) && beat(error);
        if (ok && Clock::now() - m_beatingSince > m_settings.expiry + m_settings.interval) {
            ok = watch(error);
        }
        if (!ok) {
            // The relay's own links report an outage of Redis; this only says why a beat was missed.
            m_link->close();
            m_beating = false;
            if (m_logger.enabled(LogLevel::Debug)) {
                m_logger.log(LogLevel::Debug, {}, "relay: heartbeat missed: " + error);
            }
        }
        std::unique_lock lock(m_mutex);
        if (m_wake.wait_for(lock, m_settings.interval, [this] { return m_stopping; })) {
            return;
        }
    }
}

bool NodeHeartbeat::connect(std::string& error) {
    if (!m_link->connect(m_settings.endpoint, kConnectTimeout)) {
        error = m_link->error();
        return false;
    }
    return m_link->loadScript(std::string(PresenceScripts::kEnsureAlive).append(PresenceScripts::kBeat), m_beatSha,
                              error) &&
           m_link->loadScript(PresenceScripts::kReap, m_reapSha, error);
}

bool NodeHeartbeat::beat(std::string& error) {
    const std::string expiry = std::to_string(m_settings.expiry.count());
    const RedisLink::Reply reply =
        m_link->command({"EVALSHA", m_beatSha, "3", m_keys.alive, m_keys.servers, m_keys.own, m_server, expiry});
    if (!reply || reply->type != REDIS_REPLY_INTEGER) {
        error = reply ? RedisLink::describe(*reply, "beat") : m_link->error();
        return false;
    }
    const Clock::time_point now = Clock::now();
    // A gap longer than the expiry may have let this server's key lapse: the others had no chance to beat either.
    if (!m_beating || now - m_lastBeat > m_settings.expiry) {
        m_beatingSince = now;
    }
    m_beating = true;
    m_lastBeat = now;
    if (reply->integer == 1) {
        m_rebuild();
    }
    return true;
}

bool NodeHeartbeat::watch(std::string& error) {
    const RedisLink::Reply servers = m_link->command({"SMEMBERS", m_keys.servers});
    if (!servers || servers->type != REDIS_REPLY_ARRAY) {
        error = servers ? RedisLink::describe(*servers, "SMEMBERS") : m_link->error();
        return false;
    }
    const std::string streamLength = std::to_string(m_settings.streamLength);
    for (std::size_t i = 0; i < servers->elements; ++i) {
        const redisReply* element = servers->element[i];
        if (element->type != REDIS_REPLY_STRING) {
            continue;
        }
        const std::string server(element->str, element->len);
        if (server == m_server) {
            continue;
        }
        const PresenceKeys dead(m_settings.room, server);
        const RedisLink::Reply reaped =
            m_link->command({"EVALSHA", m_reapSha, "7", m_settings.room, dead.present, dead.servers, dead.reaps,
                             dead.alive, dead.own, dead.reaped, server, streamLength, kLeaveSuffix});
        if (!reaped || reaped->type != REDIS_REPLY_INTEGER) {
            error = reaped ? RedisLink::describe(*reaped, "reap") : m_link->error();
            return false;
        }
        if (reaped->integer > 0) {
            m_logger.log(LogLevel::Warn, {},
                         "relay: server " + server + " sharing the room stopped beating; announced the leave of " +
                             std::to_string(reaped->integer) + " of its users");
        }
    }
    return true;
}

} // namespace vesmira
