#include "server/admin/Cp932Text.h"

#include "protocol/Cp932.h"
#include "server/log/Logger.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace vesmira {

namespace {

// The length of the UTF-8 sequence at the start of `text` and its code point; 0 when it is not valid UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
std::size_t decodeUtf8(std::string_view text, char32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, codePoint = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, codePoint = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, codePoint = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < min || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// One whole character in, its bytes appended; false, with nothing appended, when it has no form on the other side.
bool convertWhole(std::size_t (*convert)(std::string_view, std::string&), std::string_view character,
                  std::string& out) {
    std::string converted;
    if (convert(character, converted) != character.size()) {
        return false;
    }
    out += converted;
    return true;
}

} // namespace

std::optional<std::string> Cp932Text::fromUtf8(std::string_view utf8, std::string& error) {
    if (!Cp932::available()) {
        error = "the system has no CP932 converter (glibc's gconv modules are missing)";
        return std::nullopt;
    }
    std::string out;
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t codePoint = 0;
        const std::size_t length = decodeUtf8(utf8.substr(at), codePoint);
        if (length == 0) {
            error = "byte " + std::to_string(at + 1) + " (" + Logger::printable(utf8.substr(at, 1)) +
                    ") is not valid UTF-8";
            return std::nullopt;
        }
        const std::string_view character = utf8.substr(at, length);
        if (codePoint < 0x80) {
            out += character;
        } else if (!convertWhole(Cp932::encode, character, out)) {
            std::array<char, 16> name{};
            std::snprintf(name.data(), name.size(), "U+%04X", static_cast<unsigned>(codePoint));
            error = std::string("'").append(character) + "' (" + name.data() + ") cannot be written in CP932";
            return std::nullopt;
        }
        at += length;
    }
    return out;
}

std::string Cp932Text::printable(std::string_view utf8) {
    std::string out;
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t codePoint = 0;
        const std::size_t length = decodeUtf8(utf8.substr(at), codePoint);
        if (length == 0 || codePoint < 0x20 || codePoint == 0x7F || codePoint == '\\' ||
            (codePoint >= 0x80 && codePoint < 0xA0)) {
            out += Logger::printable(utf8.substr(at, 1));
            ++at;
        } else {
            out += utf8.substr(at, length);
            at += length;
        }
    }
    return out;
}

} // namespace vesmira
