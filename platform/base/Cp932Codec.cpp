#include "Cp932Codec.h"

#include "protocol/Cp932.h"

#include <algorithm>

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

// The code point of the well-formed UTF-8 character at the start of `utf8`.
char32_t codePoint(std::string_view utf8) {
    auto lead = static_cast<unsigned char>(utf8[0]);
    int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length && i < int(utf8.size()); ++i) {
        point = (point << 6) | (static_cast<unsigned char>(utf8[std::size_t(i)]) & 0x3F);
    }
    return point;
}

bool isRegionalIndicator(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

// Whether `next`, right behind `cluster`, belongs to the character the user sees there: a combining mark, a variation
// selector, a skin tone or a tag after it, a zero-width joiner and what it joins, the second half of a flag.
bool joinsCharacter(std::string_view cluster, std::string_view next) {
    char32_t c = codePoint(next);
    std::size_t lastStart = cluster.size() - 1;
    while (lastStart > 0 && (static_cast<unsigned char>(cluster[lastStart]) & 0xC0) == 0x80) {
        --lastStart;
    }
    char32_t last = codePoint(cluster.substr(lastStart));
    return (c >= 0x300 && c <= 0x36F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xE0100 && c <= 0xE01EF) || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) ||
           c == 0x200D || last == 0x200D || (isRegionalIndicator(c) && lastStart == 0 && isRegionalIndicator(last));
}

} // namespace

namespace Cp932Codec {

using vesmira::Cp932;

void Unconvertible::add(std::string_view utf8Character) {
    if (std::find(m_characters.begin(), m_characters.end(), utf8Character) == m_characters.end()) {
        m_characters.emplace_back(utf8Character);
    }
}

std::string Unconvertible::joined() const {
    std::string text;
    for (const std::string& character : m_characters) {
        text += text.empty() ? "" : " ";
        text += character;
    }
    return text;
}

std::string toUtf8(std::string_view cp932, Unconvertible* invalid) {
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
            if (invalid) {
                invalid->add(kReplacementUtf8);
            }
            cp932.remove_prefix(1);
        }
    }
    return out;
}

std::string fromUtf8(std::string_view utf8, Unconvertible* unconvertible) {
    if (!Cp932::available()) {
        return std::string(utf8);
    }
    std::string out;
    out.reserve(utf8.size());
    std::string run;
    while (!utf8.empty()) {
        std::size_t taken = Cp932::encode(utf8, out);
        utf8.remove_prefix(taken);
        if (!utf8.empty()) {
            out += '?';
            std::string_view character = utf8.substr(0, utf8SkipLength(utf8));
            if (unconvertible) {
                if (!run.empty() && !(taken == 0 && joinsCharacter(run, character))) {
                    unconvertible->add(run);
                    run.clear();
                }
                run += character;
            }
            utf8.remove_prefix(character.size());
        }
    }
    if (unconvertible && !run.empty()) {
        unconvertible->add(run);
    }
    return out;
}

} // namespace Cp932Codec
