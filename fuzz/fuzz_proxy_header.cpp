#include "FuzzCheck.h"
#include "server/proxy/ProxyHeader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

using vesmira::ProxyHeader;
using Status = ProxyHeader::Status;

namespace {

// The header format read again, byte by byte from its description, to hold the parser to.
struct Verdict {
    Status status;
    std::size_t size = 0;
    std::optional<asio::ip::tcp::endpoint> source;
};

std::uint32_t crc32c(const std::vector<std::uint8_t>& bytes) {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int k = 0; k < 8; ++k) {
            value = (value & 1) ? (value >> 1) ^ 0x82F63B78u : value >> 1;
        }
        table[i] = value;
    }
    std::uint32_t crc = ~0u;
    for (const std::uint8_t byte : bytes) {
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

Verdict reference(const std::uint8_t* d, std::size_t n) {
    static const std::uint8_t signature[12] = {13, 10, 13, 10, 0, 13, 10, 'Q', 'U', 'I', 'T', 10};
    for (std::size_t i = 0; i < n && i < 12; ++i) {
        if (d[i] != signature[i]) {
            return {Status::Invalid, 0, std::nullopt};
        }
    }
    if (n < 16) {
        return {Status::Incomplete, 16, std::nullopt};
    }
    if (d[12] >> 4 != 2 || (d[12] & 15) > 1) {
        return {Status::Invalid, 0, std::nullopt};
    }
    const std::size_t total = 16 + (std::size_t{d[14]} << 8 | d[15]);
    if (total > 16 + 1024) {
        return {Status::Invalid, 0, std::nullopt};
    }
    if (n < total) {
        return {Status::Incomplete, total, std::nullopt};
    }
    if ((d[12] & 15) == 0) {
        return {Status::Valid, total, std::nullopt};
    }
    Verdict verdict{Status::Valid, total, std::nullopt};
    std::size_t position = 0;
    if (d[13] == 0x11 && total >= 28) {
        const asio::ip::address_v4 address({d[16], d[17], d[18], d[19]});
        verdict.source = asio::ip::tcp::endpoint(address, static_cast<std::uint16_t>(d[24] << 8 | d[25]));
        position = 28;
    } else if (d[13] == 0x21 && total >= 52) {
        asio::ip::address_v6::bytes_type bytes{};
        for (std::size_t i = 0; i < 16; ++i) {
            bytes[i] = d[16 + i];
        }
        verdict.source =
            asio::ip::tcp::endpoint(asio::ip::address_v6(bytes), static_cast<std::uint16_t>(d[48] << 8 | d[49]));
        position = 52;
    } else {
        return {Status::Invalid, 0, std::nullopt};
    }
    while (position < total) {
        if (position + 3 > total) {
            return {Status::Invalid, 0, std::nullopt};
        }
        const std::size_t length = std::size_t{d[position + 1]} << 8 | d[position + 2];
        if (position + 3 + length > total) {
            return {Status::Invalid, 0, std::nullopt};
        }
        if (d[position] == 0x03) {
            if (length != 4) {
                return {Status::Invalid, 0, std::nullopt};
            }
            std::vector<std::uint8_t> copy(d, d + total);
            for (std::size_t i = 0; i < 4; ++i) {
                copy[position + 3 + i] = 0;
            }
            const std::uint32_t stated = std::uint32_t{d[position + 3]} << 24 | std::uint32_t{d[position + 4]} << 16 |
                                         std::uint32_t{d[position + 5]} << 8 | d[position + 6];
            if (crc32c(copy) != stated) {
                return {Status::Invalid, 0, std::nullopt};
            }
        }
        position += 3 + length;
    }
    return verdict;
}

} // namespace

// Any bytes: the parser reads nothing past them (the input is an exactly sized buffer under ASan), accepts exactly
// the headers the format allows, with their addresses, and every shorter cut of an accepted header asks for more.
// The first bytes also make a header as a proxy sends one, which must come back with its own address.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ProxyHeader::Result result = ProxyHeader::parse(std::span<const std::uint8_t>(data, size));
    const Verdict expected = reference(data, size);
    FUZZ_CHECK(result.status == expected.status);
    FUZZ_CHECK(result.status == Status::Invalid || result.size == expected.size);
    FUZZ_CHECK(result.source == expected.source);
    FUZZ_CHECK((result.status == Status::Invalid) == !result.error.empty());
    if (result.status == Status::Incomplete) {
        FUZZ_CHECK(result.size > size && result.size <= ProxyHeader::kMaxSize);
    }
    if (result.status == Status::Valid) {
        FUZZ_CHECK(result.size <= size);
        for (std::size_t cut = 0; cut < result.size; ++cut) {
            std::vector<std::uint8_t> prefix(data, data + cut);
            FUZZ_CHECK(ProxyHeader::parse(prefix).status == Status::Incomplete);
        }
    }

    if (size >= 36) {
        asio::ip::address_v6::bytes_type source{};
        asio::ip::address_v6::bytes_type destination{};
        for (std::size_t i = 0; i < 16; ++i) {
            source[i] = data[i];
            destination[i] = data[16 + i];
        }
        const bool v4 = data[32] & 1;
        const auto port = static_cast<std::uint16_t>(data[33] << 8 | data[34]);
        const asio::ip::address from =
            v4 ? asio::ip::address(asio::ip::address_v4({data[0], data[1], data[2], data[3]}))
               : asio::ip::address(asio::ip::address_v6(source));
        const asio::ip::address to = v4 ? asio::ip::address(asio::ip::address_v4({data[4], data[5], data[6], data[7]}))
                                        : asio::ip::address(asio::ip::address_v6(destination));
        const std::string header = ProxyHeader::encode({from, port}, {to, 3000});
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(header.data());
        const ProxyHeader::Result parsed = ProxyHeader::parse(std::span<const std::uint8_t>(bytes, header.size()));
        FUZZ_CHECK(parsed.status == Status::Valid && parsed.size == header.size());
        FUZZ_CHECK(parsed.source == asio::ip::tcp::endpoint(from, port));
    }
    return 0;
}
