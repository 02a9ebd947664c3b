#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vesmira {

// The one conversion between CP932 (what the wire, the client's files and the user database hold) and UTF-8, with
// glibc's "CP932" converter: "SHIFT_JIS" lacks characters such as ①, ㈱ and ～. Each converts the longest prefix
// it can and says where it stopped, so that every caller keeps its own rule for what it cannot convert. One
// descriptor per direction and thread, opened on first use.
class Cp932 {
public:
    // Whether the system has the converter (glibc's gconv modules may be missing).
    static bool available();
    // Appends the UTF-8 of `cp932` up to its first byte that does not start a complete character; returns the
    // bytes taken (all of them when the whole input converted, 0 without a converter).
    static std::size_t decode(std::string_view cp932, std::string& utf8);
    // Appends the CP932 of `utf8` up to its first malformed sequence or character CP932 cannot hold; returns the
    // bytes taken, as decode does.
    static std::size_t encode(std::string_view utf8, std::string& cp932);
    // Whether `byte` starts a double-byte character: the next byte is its second half, whatever it is.
    static constexpr bool isLeadByte(unsigned char byte) {
        return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    }
};

} // namespace vesmira
