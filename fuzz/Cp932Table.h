#pragma once

#include <cstdint>
#include <iconv.h>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesmira::fuzz {

// Every character CP932 defines, each converted on its own with a fresh iconv state. The codec converts whole
// strings in chunks and recovers from bad bytes itself; this one-character-at-a-time view is the reference it
// must agree with.
class Cp932Table {
public:
    struct Character {
        std::string cp932;
        std::string utf8;
        // Converting the UTF-8 back gives the same bytes (false for the duplicates such as the NEC and IBM
        // copies of the same symbol).
        bool oneToOne = false;
    };

    static Cp932Table& instance();

    const std::vector<Character>& characters() const { return m_characters; }
    const std::vector<const Character*>& oneToOneCharacters() const { return m_oneToOne; }

    // The fuzz input read as a list of one-to-one characters (two bytes pick one): long, varied, always valid text
    // that crosses the codec's chunk boundaries at every alignment. Returns the CP932 and the UTF-8 form.
    std::pair<std::string, std::string> textFrom(const std::uint8_t* data, std::size_t size) const {
        std::pair<std::string, std::string> text;
        for (std::size_t i = 0; i + 1 < size; i += 2) {
            const std::size_t index = ((std::size_t{data[i]} << 8) | data[i + 1]) % m_oneToOne.size();
            text.first += m_oneToOne[index]->cp932;
            text.second += m_oneToOne[index]->utf8;
        }
        return text;
    }

    // The defined character `text` starts with, or nullptr when its first byte starts none.
    const Character* characterAt(std::string_view text) const;
    // One code point (as UTF-8) converted to CP932 on its own; nullopt when CP932 has no such character.
    std::optional<std::string> encode(std::string_view utf8CodePoint);

    // What the codec should make of `cp932`: each defined character converted, each other byte U+FFFD.
    std::string expectedUtf8(std::string_view cp932) const;
    // What the codec should make of well-formed `utf8`: each code point converted, or "?" where CP932 has none.
    std::string expectedCp932(std::string_view utf8);

private:
    Cp932Table();

    std::vector<Character> m_characters;
    std::vector<const Character*> m_oneToOne;
    std::unordered_map<std::string, std::size_t> m_byCode;
    std::unordered_map<std::string, std::optional<std::string>> m_encoded;
    iconv_t m_toUtf8;
    iconv_t m_fromUtf8;
};

} // namespace vesmira::fuzz
