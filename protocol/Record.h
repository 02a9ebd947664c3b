#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vesmira {

// Every chat line travels as one record of this size: the line, a NUL, zero fill. A leave notice is the one
// message written without the fill.
inline constexpr std::size_t kRecordSize = 500;
using Record = std::array<char, kRecordSize>;

// "：" (81 46), between the name and the text of a chat line.
inline constexpr std::string_view kColon = "\x81\x46";
// "：退室しました。", the tail of the leave notice that follows the leaver's name.
inline constexpr std::string_view kLeaveSuffix = "\x81\x46\x91\xDE\x8E\xBA\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
// "：入室しました。", the tail of the line the server writes when a user signs in.
inline constexpr std::string_view kJoinSuffix = "\x81\x46\x93\xFC\x8E\xBA\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";

} // namespace vesmira
