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

bool isFingerprintText(std::string_view text) {
    if (text.size() != kFingerprintTextLength) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool ok = i % 3 == 2 ? c == ':' : ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        if (!ok) {
            return false;
        }
    }
    return true;
}

} // namespace vesmira
