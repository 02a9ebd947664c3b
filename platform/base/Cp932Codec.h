#pragma once

#include <string>
#include <string_view>

// Conversion between the program's CP932 bytes and the UTF-8 of the window system. Used only at that boundary.
namespace Cp932Codec {

// CP932 -> UTF-8. Bytes that are not valid CP932 become U+FFFD each; the input itself is never altered.
std::string toUtf8(std::string_view cp932);

// UTF-8 -> CP932. A character CP932 cannot hold becomes "?", as an ANSI edit control gives it; malformed UTF-8
// bytes become "?" too.
std::string fromUtf8(std::string_view utf8);

} // namespace Cp932Codec
