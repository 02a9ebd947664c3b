#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vesmira {

// The binary header (version 2 of the PROXY protocol) that a proxy such as HAProxy sends first on each connection
// it forwards, telling the server the client's own address.
//
// Accepted: the 12-byte signature, version 2, and either the LOCAL command (a connection of the proxy's own, a
// health check: its address block is skipped) or the PROXY command for a TCP client over IPv4 or IPv6, whose
// address block may be followed by TLVs that must fill the rest exactly (a CRC32C TLV, if present, must match).
// Everything else is refused: a server behind a proxy serves nothing that has not come through it.
class ProxyHeader {
public:
    enum class Status { Incomplete, Valid, Invalid };

    static constexpr std::size_t kFixedSize = 16;
    // Longer headers are refused: a TCP client's addresses and the few TLVs a proxy adds fit well within this.
    static constexpr std::size_t kMaxSize = kFixedSize + 1024;

    struct Result {
        Status status = Status::Incomplete;
        // Valid: the header's size. Incomplete: the bytes needed to decide (the whole header once its fixed part
        // has arrived), never more than kMaxSize.
        std::size_t size = kFixedSize;
        // Valid with the PROXY command: the client's address. Nothing for LOCAL.
        std::optional<asio::ip::tcp::endpoint> source;
        std::string_view error; // Invalid: why
    };

    // Reads only the bytes given.
    static Result parse(std::span<const std::uint8_t> bytes);

    // Headers as a proxy sends them: for tests and tools.
    static std::string encode(const asio::ip::tcp::endpoint& source, const asio::ip::tcp::endpoint& destination);
    static std::string encodeLocal();

    static std::uint32_t crc32c(std::span<const std::uint8_t> bytes);
};

} // namespace vesmira
