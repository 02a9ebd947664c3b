#pragma once

#include "server/bus/RedisEndpoint.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct redisContext;
struct redisReply;

namespace vesmira {

// One blocking connection to Redis (hiredis), used by one thread; interrupt() may come from any other, to end a
// call that waits.
class RedisLink {
public:
    struct ReplyDeleter {
        void operator()(redisReply* reply) const;
    };
    using Reply = std::unique_ptr<redisReply, ReplyDeleter>;

    RedisLink() = default;
    ~RedisLink();
    RedisLink(const RedisLink&) = delete;
    RedisLink& operator=(const RedisLink&) = delete;

    // Replaces any earlier connection. Each call then waits at most `timeout` for its reply.
    bool connect(const RedisEndpoint& endpoint, std::chrono::milliseconds timeout);
    bool connected() const { return m_context != nullptr; }
    // One command; nullptr when the connection failed (it is then closed, and error() says why). An error reply
    // is a reply: see errorOf().
    Reply command(const std::vector<std::string_view>& args);
    // MULTI, the commands and EXEC, sent at once: EXEC's reply (one reply per command, in order), or nullptr as for
    // command().
    Reply transaction(const std::vector<std::vector<std::string_view>>& commands);
    // SCRIPT LOAD of `body` as a Lua script: its SHA in `sha`, or false with `error`.
    bool loadScript(std::string_view body, std::string& sha, std::string& error);
    void close();
    // For stopping: the call under way, if any, fails at once, and so does every later connect().
    void interrupt();
    const std::string& error() const { return m_error; }

    // The message of an error reply, or nullptr for any other reply.
    static const char* errorOf(const redisReply& reply);
    // "WHAT: " and the error reply's message, or "unexpected reply" for a reply of another shape.
    static std::string describe(const redisReply& reply, std::string_view what);
    // The text of a string or status reply; empty for anything else, nullptr included.
    static std::string_view stringOf(const redisReply* reply);

private:
    Reply transaction(const std::vector<std::vector<std::string_view>>& commands, bool multi);

    std::mutex m_mutex; // m_context as a pointer, against interrupt()
    redisContext* m_context = nullptr;
    bool m_interrupted = false;
    std::string m_error;
};

} // namespace vesmira
