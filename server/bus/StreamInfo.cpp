#include "server/bus/StreamInfo.h"

#include "server/bus/RedisLink.h"

#include <hiredis.h>
#include <string_view>

namespace vesmira {

namespace {

std::optional<StreamId> entryId(const redisReply* entry) {
    if (!entry || entry->type != REDIS_REPLY_ARRAY || entry->elements < 1) {
        return std::nullopt;
    }
    return StreamId::parse(RedisLink::stringOf(entry->element[0]));
}

} // namespace

std::optional<StreamInfo> StreamInfo::parse(const redisReply& reply) {
    if (reply.type == REDIS_REPLY_ERROR) {
        return std::string_view(reply.str, reply.len).find("no such key") != std::string_view::npos
                   ? std::optional(StreamInfo{})
                   : std::nullopt;
    }
    if (reply.type != REDIS_REPLY_ARRAY) {
        return std::nullopt;
    }
    StreamInfo info;
    bool added = false;
    for (std::size_t i = 0; i + 1 < reply.elements; i += 2) {
        const std::string_view name = RedisLink::stringOf(reply.element[i]);
        const redisReply* value = reply.element[i + 1];
        if (name == "length" && value->type == REDIS_REPLY_INTEGER) {
            info.length = static_cast<std::uint64_t>(value->integer);
        } else if (name == "entries-added" && value->type == REDIS_REPLY_INTEGER) {
            info.entriesAdded = static_cast<std::uint64_t>(value->integer);
            added = true;
        } else if (name == "last-entry") {
            info.lastEntry = entryId(value);
        }
    }
    // Before Redis 7 the count of entries ever added is missing: nothing can be told from such a reply.
    if (!added || info.length > info.entriesAdded) {
        return std::nullopt;
    }
    return info;
}

} // namespace vesmira
