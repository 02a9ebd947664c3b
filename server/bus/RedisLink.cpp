#include "server/bus/RedisLink.h"

#include <hiredis.h>
#include <sys/socket.h>

namespace vesmira {

void RedisLink::ReplyDeleter::operator()(redisReply* reply) const {
    freeReplyObject(reply);
}

RedisLink::~RedisLink() {
    close();
}

bool RedisLink::connect(const RedisEndpoint& endpoint, std::chrono::milliseconds timeout) {
    close();
    const timeval limit{static_cast<time_t>(timeout.count() / 1000),
                        static_cast<suseconds_t>((timeout.count() % 1000) * 1000)};
    redisContext* context = redisConnectWithTimeout(endpoint.host.c_str(), endpoint.port, limit);
    if (!context || context->err) {
        m_error = context ? context->errstr : "out of memory";
        redisFree(context);
        return false;
    }
    redisSetTimeout(context, limit);
    // A peer that vanishes without a reset (a machine lost) is noticed within about a minute even when idle.
    redisEnableKeepAlive(context);
    std::lock_guard lock(m_mutex);
    if (m_interrupted) {
        redisFree(context);
        m_error = "stopping";
        return false;
    }
    m_context = context;
    return true;
}

namespace {

bool append(redisContext* context, const std::vector<std::string_view>& args) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    argv.reserve(args.size());
    lengths.reserve(args.size());
    for (const std::string_view arg : args) {
        argv.push_back(arg.data());
        lengths.push_back(arg.size());
    }
    return redisAppendCommandArgv(context, static_cast<int>(args.size()), argv.data(), lengths.data()) == REDIS_OK;
}

} // namespace

RedisLink::Reply RedisLink::command(const std::vector<std::string_view>& args) {
    return transaction({args}, false);
}

RedisLink::Reply RedisLink::transaction(const std::vector<std::vector<std::string_view>>& commands) {
    return transaction(commands, true);
}

RedisLink::Reply RedisLink::transaction(const std::vector<std::vector<std::string_view>>& commands, bool multi) {
    if (!m_context) {
        return nullptr;
    }
    bool sent = !multi || append(m_context, {"MULTI"});
    for (const auto& args : commands) {
        sent = sent && append(m_context, args);
    }
    sent = sent && (!multi || append(m_context, {"EXEC"}));
    // Every reply is read, in order; the last one is the answer (EXEC's in a transaction).
    Reply last;
    const std::size_t replies = commands.size() + (multi ? 2 : 0);
    for (std::size_t i = 0; sent && i < replies; ++i) {
        void* reply = nullptr;
        sent = redisGetReply(m_context, &reply) == REDIS_OK && reply;
        last.reset(static_cast<redisReply*>(reply));
    }
    if (!sent) {
        m_error = m_context->errstr[0] != '\0' ? m_context->errstr : "connection lost";
        close();
        return nullptr;
    }
    return last;
}

bool RedisLink::loadScript(std::string_view body, std::string& sha, std::string& error) {
    // With the shebang Redis refuses a script that may write before it runs when out of memory, not at a write.
    const std::string script = std::string("#!lua\n").append(body);
    const Reply reply = command({"SCRIPT", "LOAD", script});
    if (!reply) {
        error = m_error;
        return false;
    }
    if (reply->type != REDIS_REPLY_STRING) {
        error = describe(*reply, "SCRIPT LOAD");
        return false;
    }
    sha.assign(reply->str, reply->len);
    return true;
}

void RedisLink::close() {
    redisContext* context = nullptr;
    {
        std::lock_guard lock(m_mutex);
        context = m_context;
        m_context = nullptr;
    }
    redisFree(context);
}

void RedisLink::interrupt() {
    std::lock_guard lock(m_mutex);
    m_interrupted = true;
    if (m_context) {
        // The blocked call returns with an error; the owner frees the context.
        ::shutdown(m_context->fd, SHUT_RDWR);
    }
}

const char* RedisLink::errorOf(const redisReply& reply) {
    return reply.type == REDIS_REPLY_ERROR ? reply.str : nullptr;
}

std::string RedisLink::describe(const redisReply& reply, std::string_view what) {
    const char* message = errorOf(reply);
    return std::string(what) + ": " + (message ? message : "unexpected reply");
}

std::string_view RedisLink::stringOf(const redisReply* reply) {
    if (!reply || (reply->type != REDIS_REPLY_STRING && reply->type != REDIS_REPLY_STATUS)) {
        return {};
    }
    return {reply->str, reply->len};
}

} // namespace vesmira
