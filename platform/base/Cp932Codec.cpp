#include "Cp932Codec.h"

#include "protocol/Cp932.h"

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Bytes to skip at a malformed or unconvertible UTF-8 sequence: the lead byte and only the continuation bytes
// that really follow it, so the characters behind a broken sequence survive.
std::size_t utf8SkipLength(std::string_view in) {
    auto lead = static_cast<unsigned char>(in[0]);
    std::size_t announced = lead >= 0xF0 && lead <= 0xF4   ? 4
                            : lead >= 0xE0 && lead <= 0xEF ? 3
                            : lead >= 0xC2 && lead <= 0xDF ? 2
                                                           : 1;
    std::size_t length = 1;
    while (length < announced && length < in.size() && (static_cast<unsigned char>(in[length]) & 0xC0) == 0x80) {
        ++length;
    }
    return length;
}

} // namespace

namespace Cp932Codec {

using vesmira::Cp932;

std::string toUtf8(std::string_view cp932) {
    if (!Cp932::available()) {
        return std::string(cp932);
    }
    std::string out;
    out.reserve(cp932.size() * 3 / 2);
    while (!cp932.empty()) {
        cp932.remove_prefix(Cp932::decode(cp932, out));
        if (!cp932.empty()) {
            // An invalid or truncated sequence: mark one byte and go on with the next.
            out += kReplacementUtf8;
            cp932.remove_prefix(1);
        }
    }
    return out;
}

std::string fromUtf8(std::string_view utf8) {
    if (!Cp932::available()) {
        return std::string(utf8);
    }
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        utf8.remove_prefix(Cp932::encode(utf8, out));
        if (!utf8.empty()) {
            out += '?';
            utf8.remove_prefix(utf8SkipLength(utf8));
        }
    }
    return out;
}

} // namespace Cp932Codec
