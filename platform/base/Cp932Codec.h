#pragma once

#include <string>
#include <string_view>
#include <vector>

// Conversion between the program's CP932 bytes and the UTF-8 of the window system. Used only at that boundary.
namespace Cp932Codec {

// What a conversion could not carry, kept as UTF-8 so that a message can name it: each character once (with the
// marks, selectors and joined parts that make it one on the screen), in the order they first appear.
class Unconvertible {
public:
    void add(std::string_view utf8Character);
    bool empty() const { return m_characters.empty(); }
    // The characters separated by spaces, as a message names them.
    std::string joined() const;

private:
    std::vector<std::string> m_characters;
};

// CP932 -> UTF-8. Bytes that are not valid CP932 become U+FFFD each; the input itself is never altered. When
// `invalid` is given, such a byte is named there as the mark it shows as.
std::string toUtf8(std::string_view cp932, Unconvertible* invalid = nullptr);

// UTF-8 -> CP932. A character CP932 cannot hold becomes "?", as an ANSI edit control gives it; malformed UTF-8
// bytes become "?" too. What became "?" is named in `unconvertible` when it is given, as it was.
std::string fromUtf8(std::string_view utf8, Unconvertible* unconvertible = nullptr);

} // namespace Cp932Codec
