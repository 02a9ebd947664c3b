#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

// Where the Redis server of a shared relay listens, from "redis://HOST[:PORT]" (HOST a name, an IPv4 address or
// a bracketed IPv6 address; PORT 6379 when left out).
struct RedisEndpoint {
    std::string host;
    std::uint16_t port = 6379;

    // nullopt with a message in `error` for anything else.
    static std::optional<RedisEndpoint> parse(std::string_view uri, std::string& error);
    std::string text() const;
    bool operator==(const RedisEndpoint&) const = default;
};

} // namespace vesmira
