#pragma once

#include "server/bus/StreamId.h"

#include <cstdint>
#include <optional>

struct redisReply;

namespace vesmira {

// What XINFO STREAM tells about a stream (Redis 7): how many entries it holds, how many were ever added, and its
// last entry. Entries are only ever trimmed from its start, so the first one held is entry number
// entriesAdded - length + 1 of all ever added.
struct StreamInfo {
    std::uint64_t length = 0;
    std::uint64_t entriesAdded = 0;
    std::optional<StreamId> lastEntry;

    std::uint64_t firstNumber() const { return entriesAdded - length + 1; }

    // From XINFO STREAM's reply: an empty stream for the error of a stream that does not exist yet; nullopt for
    // anything else that is not such a reply.
    static std::optional<StreamInfo> parse(const redisReply& reply);
};

} // namespace vesmira
