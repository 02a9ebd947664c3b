#include "server/proxy/ProxyHeader.h"

#include <algorithm>
#include <array>
#include <vector>

namespace vesmira {

namespace {

constexpr std::array<std::uint8_t, 12> kSignature = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                     0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::uint8_t kVersion2 = 0x20;
constexpr std::uint8_t kCommandLocal = 0x00;
constexpr std::uint8_t kCommandProxy = 0x01;
constexpr std::uint8_t kTcpOverIpv4 = 0x11;
constexpr std::uint8_t kTcpOverIpv6 = 0x21;
constexpr std::size_t kIpv4Block = 12;
constexpr std::size_t kIpv6Block = 36;
constexpr std::uint8_t kTlvCrc32c = 0x03;

std::uint16_t bigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

ProxyHeader::Result invalid(std::string_view why) {
    return {ProxyHeader::Status::Invalid, 0, std::nullopt, why};
}

// The TLVs after the address block must fill the header exactly; a CRC32C TLV must match the whole header
// computed with its own value as zeros.
bool tlvsHold(std::span<const std::uint8_t> header, std::size_t offset, std::string_view& error) {
    while (offset < header.size()) {
        if (header.size() - offset < 3) {
            error = "a TLV cut short";
            return false;
        }
        const std::uint8_t type = header[offset];
        const std::size_t length = bigEndian16(&header[offset + 1]);
        const std::size_t value = offset + 3;
        if (header.size() - value < length) {
            error = "a TLV longer than the header";
            return false;
        }
        if (type == kTlvCrc32c) {
            if (length != 4) {
                error = "a CRC32C TLV of the wrong size";
                return false;
            }
            std::vector<std::uint8_t> zeroed(header.begin(), header.end());
            std::fill_n(zeroed.begin() + static_cast<std::ptrdiff_t>(value), 4, 0);
            const std::uint32_t expected = (std::uint32_t{header[value]} << 24) |
                                           (std::uint32_t{header[value + 1]} << 16) |
                                           (std::uint32_t{header[value + 2]} << 8) | header[value + 3];
            if (ProxyHeader::crc32c(zeroed) != expected) {
                error = "CRC32C mismatch";
                return false;
            }
        }
        offset = value + length;
    }
    return true;
}

void appendBigEndian16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value & 0xFF));
}

} // namespace

ProxyHeader::Result ProxyHeader::parse(std::span<const std::uint8_t> bytes) {
    const std::size_t signatureSeen = std::min(bytes.size(), kSignature.size());
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(signatureSeen), kSignature.begin())) {
        return invalid("no PROXY protocol v2 signature");
    }
    if (bytes.size() < kFixedSize) {
        return {};
    }
    const std::uint8_t versionCommand = bytes[12];
    const std::uint8_t familyProtocol = bytes[13];
    const std::size_t size = kFixedSize + bigEndian16(&bytes[14]);
    if ((versionCommand & 0xF0) != kVersion2) {
        return invalid("not version 2");
    }
    const std::uint8_t command = versionCommand & 0x0F;
    if (command != kCommandLocal && command != kCommandProxy) {
        return invalid("unknown command");
    }
    if (size > kMaxSize) {
        return invalid("header too long");
    }
    if (bytes.size() < size) {
        return {Status::Incomplete, size, std::nullopt, {}};
    }
    const std::span<const std::uint8_t> header = bytes.first(size);
    if (command == kCommandLocal) {
        return {Status::Valid, size, std::nullopt, {}};
    }
    Result result{Status::Valid, size, std::nullopt, {}};
    std::size_t blockEnd = 0;
    if (familyProtocol == kTcpOverIpv4) {
        if (size < kFixedSize + kIpv4Block) {
            return invalid("IPv4 address block cut short");
        }
        asio::ip::address_v4::bytes_type address{};
        std::copy_n(&header[16], address.size(), address.begin());
        result.source = asio::ip::tcp::endpoint(asio::ip::address_v4(address), bigEndian16(&header[24]));
        blockEnd = kFixedSize + kIpv4Block;
    } else if (familyProtocol == kTcpOverIpv6) {
        if (size < kFixedSize + kIpv6Block) {
            return invalid("IPv6 address block cut short");
        }
        asio::ip::address_v6::bytes_type address{};
        std::copy_n(&header[16], address.size(), address.begin());
        result.source = asio::ip::tcp::endpoint(asio::ip::address_v6(address), bigEndian16(&header[48]));
        blockEnd = kFixedSize + kIpv6Block;
    } else {
        return invalid("not a TCP client over IPv4 or IPv6");
    }
    std::string_view error;
    if (!tlvsHold(header, blockEnd, error)) {
        return invalid(error);
    }
    return result;
}

std::string ProxyHeader::encode(const asio::ip::tcp::endpoint& source, const asio::ip::tcp::endpoint& destination) {
    std::string out(kSignature.begin(), kSignature.end());
    out.push_back(static_cast<char>(kVersion2 | kCommandProxy));
    const bool v4 = source.address().is_v4() && destination.address().is_v4();
    out.push_back(static_cast<char>(v4 ? kTcpOverIpv4 : kTcpOverIpv6));
    appendBigEndian16(out, static_cast<std::uint16_t>(v4 ? kIpv4Block : kIpv6Block));
    const auto appendAddress = [&out, v4](const asio::ip::address& address) {
        if (v4) {
            const auto bytes = address.to_v4().to_bytes();
            out.append(bytes.begin(), bytes.end());
        } else {
            const auto bytes = address.is_v6()
                                   ? address.to_v6().to_bytes()
                                   : asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
            out.append(bytes.begin(), bytes.end());
        }
    };
    appendAddress(source.address());
    appendAddress(destination.address());
    appendBigEndian16(out, source.port());
    appendBigEndian16(out, destination.port());
    return out;
}

std::string ProxyHeader::encodeLocal() {
    std::string out(kSignature.begin(), kSignature.end());
    out.push_back(static_cast<char>(kVersion2 | kCommandLocal));
    out.push_back(0);
    appendBigEndian16(out, 0);
    return out;
}

std::uint32_t ProxyHeader::crc32c(std::span<const std::uint8_t> bytes) {
    // Castagnoli, reflected; bit by bit is plenty for one header per connection.
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

} // namespace vesmira
