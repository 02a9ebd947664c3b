#include "Cp932Table.h"

namespace vesmira::fuzz {

namespace {

bool isLeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Converts all of `in` in one call from the initial state; nullopt when any byte is refused or left over.
std::optional<std::string> convertOne(iconv_t cd, std::string_view in) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char buffer[32];
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0) {
        return std::nullopt;
    }
    if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(outPtr - buffer));
}

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

} // namespace

Cp932Table& Cp932Table::instance() {
    static Cp932Table table;
    return table;
}

Cp932Table::Cp932Table() : m_toUtf8(iconv_open("UTF-8", "CP932")), m_fromUtf8(iconv_open("CP932", "UTF-8")) {
    std::vector<std::string> codes;
    for (int byte = 0; byte < 0x100; ++byte) {
        codes.emplace_back(1, static_cast<char>(byte));
    }
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!isLeadByte(static_cast<unsigned char>(lead))) {
            continue;
        }
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            codes.push_back({static_cast<char>(lead), static_cast<char>(trail)});
        }
    }
    for (const std::string& code : codes) {
        const std::optional<std::string> utf8 = convertOne(m_toUtf8, code);
        if (!utf8) {
            continue;
        }
        const std::optional<std::string> back = convertOne(m_fromUtf8, *utf8);
        m_byCode.emplace(code, m_characters.size());
        m_characters.push_back({code, *utf8, back == code});
    }
    for (const Character& character : m_characters) {
        if (character.oneToOne) {
            m_oneToOne.push_back(&character);
        }
    }
}

const Cp932Table::Character* Cp932Table::characterAt(std::string_view text) const {
    for (std::size_t length : {std::size_t{2}, std::size_t{1}}) {
        if (text.size() >= length) {
            const auto found = m_byCode.find(std::string(text.substr(0, length)));
            if (found != m_byCode.end()) {
                return &m_characters[found->second];
            }
        }
    }
    return nullptr;
}

std::optional<std::string> Cp932Table::encode(std::string_view utf8CodePoint) {
    const std::string key(utf8CodePoint);
    if (const auto found = m_encoded.find(key); found != m_encoded.end()) {
        return found->second;
    }
    std::optional<std::string> cp932 = convertOne(m_fromUtf8, utf8CodePoint);
    m_encoded.emplace(key, cp932);
    return cp932;
}

std::string Cp932Table::expectedUtf8(std::string_view cp932) const {
    std::string out;
    while (!cp932.empty()) {
        if (const Character* character = characterAt(cp932)) {
            out += character->utf8;
            cp932.remove_prefix(character->cp932.size());
        } else {
            out += kReplacementUtf8;
            cp932.remove_prefix(1);
        }
    }
    return out;
}

std::string Cp932Table::expectedCp932(std::string_view utf8) {
    std::string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::size_t length = 1;
        while (i + length < utf8.size() && (static_cast<unsigned char>(utf8[i + length]) & 0xC0) == 0x80) {
            ++length;
        }
        const std::optional<std::string> cp932 = encode(utf8.substr(i, length));
        out += cp932 ? *cp932 : std::string("?");
        i += length;
    }
    return out;
}

} // namespace vesmira::fuzz
