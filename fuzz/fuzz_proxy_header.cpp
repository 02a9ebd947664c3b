#include "FuzzCheck.h"
#include "server/proxy/ProxyHeader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

using vesmira::ProxyHeader;
using Status = ProxyHeader::Status;

namespace {

// The header format read again, byte by byte from its description, to hold the parser to. The checksum function is
// the parser's own, held to its check value by the unit tests; here, what it covers and where it goes.
struct Verdict {
    Status status;
    std::size_t size = 0;
    std::optional<asio::ip::tcp::endpoint> source;
};

Verdict reference(const std::uint8_t* d, std::size_t n) {
    static const std::uint8_t signature[12] = {13, 10, 13, 10, 0, 13, 10, 'Q', 'U', 'I', 'T', 10};
    const Verdict invalid{Status::Invalid, 0, std::nullopt};
    for (std::size_t i = 0; i < n && i < 12; ++i) {
        if (d[i] != signature[i]) {
            return invalid;
        }
    }
    if (n < 16) {
        return {Status::Incomplete, 16, std::nullopt};
    }
    if (d[12] >> 4 != 2 || (d[12] & 15) > 1) {
        return invalid;
    }
    const std::size_t total = 16 + (std::size_t{d[14]} << 8 | d[15]);
    if (total > 16 + 1024) {
        return invalid;
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
        std::copy_n(d + 16, 16, bytes.begin());
        verdict.source =
            asio::ip::tcp::endpoint(asio::ip::address_v6(bytes), static_cast<std::uint16_t>(d[48] << 8 | d[49]));
        position = 52;
    } else {
        return invalid;
    }
    while (position < total) {
        if (position + 3 > total) {
            return invalid;
        }
        const std::size_t length = std::size_t{d[position + 1]} << 8 | d[position + 2];
        if (position + 3 + length > total) {
            return invalid;
        }
        if (d[position] == 0x03) {
            if (length != 4) {
                return invalid;
            }
            std::vector<std::uint8_t> copy(d, d + total);
            for (std::size_t i = 0; i < 4; ++i) {
                copy[position + 3 + i] = 0;
            }
            const std::uint32_t stated = std::uint32_t{d[position + 3]} << 24 | std::uint32_t{d[position + 4]} << 16 |
                                         std::uint32_t{d[position + 5]} << 8 | d[position + 6];
            if (ProxyHeader::crc32c(copy) != stated) {
                return invalid;
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
        const auto addressAt = [&](std::size_t at) {
            asio::ip::address_v6::bytes_type v6{};
            std::copy_n(data + at, 16, v6.begin());
            return data[32] & 1
                       ? asio::ip::address(asio::ip::address_v4({data[at], data[at + 1], data[at + 2], data[at + 3]}))
                       : asio::ip::address(asio::ip::address_v6(v6));
        };
        const asio::ip::tcp::endpoint from(addressAt(0), static_cast<std::uint16_t>(data[33] << 8 | data[34]));
        const std::string header = ProxyHeader::encode(from, {addressAt(16), 3000});
        const ProxyHeader::Result parsed =
            ProxyHeader::parse({reinterpret_cast<const std::uint8_t*>(header.data()), header.size()});
        FUZZ_CHECK(parsed.status == Status::Valid && parsed.size == header.size() && parsed.source == from);
    }
    return 0;
}
