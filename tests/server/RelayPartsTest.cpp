#include "server/bus/RedisEndpoint.h"
#include "server/bus/StreamId.h"
#include "server/bus/StreamRecord.h"
#include "server/core/ChatServer.h"
#include "server/proxy/ProxyHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesmira {
namespace {

using namespace std::string_literals;
using Status = ProxyHeader::Status;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

const std::string kSignature = "\r\n\r\n\0\r\nQUIT\n"s;
// PROXY, TCP over IPv4, 203.0.113.7:51000 -> 10.0.0.1:3000
const std::string kV4 = kSignature + "\x21\x11\x00\x0c"s + "\xcb\x00\x71\x07\x0a\x00\x00\x01\xc7\x38\x0b\xb8"s;
// PROXY, TCP over IPv6, [2001:db8::1]:443 -> [::1]:3000
const std::string kV6 = kSignature + "\x21\x21\x00\x24"s + "\x20\x01\x0d\xb8"s + std::string(11, '\0') + "\x01"s +
                        std::string(15, '\0') + "\x01\x01\xbb\x0b\xb8"s;

std::string withLength(std::string header, std::size_t extra) {
    const std::size_t length = static_cast<unsigned char>(header[14]) * 256 + static_cast<unsigned char>(header[15]);
    header[14] = static_cast<char>((length + extra) >> 8);
    header[15] = static_cast<char>((length + extra) & 0xFF);
    return header;
}

std::string withCrc(const std::string& header, bool corrupt) {
    std::string out = withLength(header, 7) + "\x03\x00\x04"s + std::string(4, '\0');
    std::uint32_t crc = ProxyHeader::crc32c(bytesOf(out)) ^ (corrupt ? 1u : 0u);
    for (int i = 0; i < 4; ++i) {
        out[out.size() - 4 + static_cast<std::size_t>(i)] = static_cast<char>(crc >> (24 - 8 * i));
    }
    return out;
}

TEST(ProxyHeader, AcceptsExactlyTheHeadersOfTcpClients) {
    struct Case {
        const char* name;
        std::string bytes;
        Status status;
        std::string source; // "" for none
        std::size_t size;
    };
    const std::vector<Case> cases = {
        {"IPv4", kV4, Status::Valid, "203.0.113.7:51000", 28},
        {"IPv4, client bytes after it", kV4 + "ENTRY\0"s, Status::Valid, "203.0.113.7:51000", 28},
        {"IPv6", kV6, Status::Valid, "[2001:db8::1]:443", 52},
        {"LOCAL (health check)", ProxyHeader::encodeLocal(), Status::Valid, "", 16},
        {"LOCAL with an address block", kSignature + "\x20\x11\x00\x0c"s + std::string(12, 'x'), Status::Valid, "", 28},
        {"TLVs after the addresses", withLength(kV4, 8) + "\x04\x00\x01x\xe0\x00\x01y"s, Status::Valid,
         "203.0.113.7:51000", 36},
        {"matching CRC32C", withCrc(kV4, false), Status::Valid, "203.0.113.7:51000", 35},
        {"fixed part only", kV4.substr(0, 16), Status::Incomplete, "", 28},
        {"half a signature", kSignature.substr(0, 6), Status::Incomplete, "", 16},
        {"PROXY v1 text", "PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\n", Status::Invalid, "", 0},
        {"a client's first bytes", "ENTRY\0"s, Status::Invalid, "", 0},
        {"version 1 byte", kSignature + "\x11\x11\x00\x0c"s + std::string(12, '\0'), Status::Invalid, "", 0},
        {"unknown command", kSignature + "\x22\x11\x00\x0c"s + std::string(12, '\0'), Status::Invalid, "", 0},
        {"UDP client", kSignature + "\x21\x12\x00\x0c"s + std::string(12, '\0'), Status::Invalid, "", 0},
        {"unix socket client", kSignature + "\x21\x31\x00\xd8"s + std::string(216, '\0'), Status::Invalid, "", 0},
        {"unspecified family", kSignature + "\x21\x00\x00\x00"s, Status::Invalid, "", 0},
        {"address block cut short", withLength(kSignature + "\x21\x11\x00\x08"s, 0) + std::string(8, '\0'),
         Status::Invalid, "", 0},
        {"TLV past the end", withLength(kV4, 4) + "\x04\x00\x02x"s, Status::Invalid, "", 0},
        {"stray byte after the TLVs", withLength(kV4, 1) + "\x04"s, Status::Invalid, "", 0},
        {"CRC32C mismatch", withCrc(kV4, true), Status::Invalid, "", 0},
        {"longer than allowed", kSignature + "\x21\x11\x04\x01"s, Status::Invalid, "", 0},
    };
    for (const Case& c : cases) {
        const ProxyHeader::Result result = ProxyHeader::parse(bytesOf(c.bytes));
        EXPECT_EQ(result.status, c.status) << c.name << ": " << result.error;
        if (c.status != Status::Invalid) {
            EXPECT_EQ(result.size, c.size) << c.name;
        }
        EXPECT_EQ(result.source ? ChatServer::endpointText(*result.source) : "", c.source) << c.name;
    }
    EXPECT_EQ(ProxyHeader::crc32c(bytesOf("123456789")), 0xE3069283u) << "CRC-32C's check value";
    const auto encoded =
        ProxyHeader::encode({asio::ip::make_address("203.0.113.7"), 51000}, {asio::ip::make_address("10.0.0.1"), 3000});
    EXPECT_EQ(encoded, kV4);
}

TEST(RedisEndpoint, ParsesHostAndPort) {
    struct Case {
        const char* uri;
        std::string host; // "" when refused
        std::uint16_t port;
    };
    for (const Case& c : std::vector<Case>{{"redis://127.0.0.1:6390", "127.0.0.1", 6390},
                                           {"redis://cache.lan", "cache.lan", 6379},
                                           {"redis://[::1]:7000/", "::1", 7000},
                                           {"redis://[fe80::1]", "fe80::1", 6379},
                                           {"rediss://h:1", "", 0},
                                           {"redis://h:1?x=y", "", 0},
                                           {"redis://h h:1", "", 0},
                                           {"redis://[::1]x", "", 0}}) {
        std::string error;
        const auto endpoint = RedisEndpoint::parse(c.uri, error);
        EXPECT_EQ(endpoint ? endpoint->host : "", c.host) << c.uri << ": " << error;
        if (endpoint) {
            EXPECT_EQ(endpoint->port, c.port) << c.uri;
            EXPECT_EQ(RedisEndpoint::parse(endpoint->text(), error)->host, c.host) << endpoint->text();
        }
    }
}

TEST(StreamRecord, KeepsEveryByteOfARecordAndOrdersIds) {
    Record full{};
    full.fill('\xff');
    Record line{};
    std::copy_n("alice> hi", 9, line.begin());
    line[200] = 'x'; // bytes after the line's NUL are the sender's and go on unchanged
    for (const Record& record : {Record{}, full, line}) {
        const std::string bytes = encodeStreamRecord(record);
        EXPECT_LE(bytes.size(), kRecordSize);
        EXPECT_EQ(decodeStreamRecord(bytes), record);
    }
    EXPECT_EQ(encodeStreamRecord(line).size(), 201u);
    EXPECT_EQ(decodeStreamRecord(std::string(kRecordSize + 1, 'x')), std::nullopt);

    EXPECT_LT(*StreamId::parse("9-5"), *StreamId::parse("10-0"));
    EXPECT_LT(*StreamId::parse("10-2"), *StreamId::parse("10-10"));
    EXPECT_EQ(StreamId::parse("1796716905134-7")->text(), "1796716905134-7");
    for (const char* bad : {"", "1", "1-", "-1", "a-1", "1-2-3", "1 -2"}) {
        EXPECT_EQ(StreamId::parse(bad), std::nullopt) << bad;
    }
}

} // namespace
} // namespace vesmira
