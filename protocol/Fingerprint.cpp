#include "protocol/Fingerprint.h"

namespace vesmira {

std::string fingerprintText(std::span<const unsigned char> digest) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char byte : digest) {
        if (!text.empty()) {
            text += ':';
        }
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}

} // namespace vesmira
