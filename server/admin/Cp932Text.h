#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

// Between what an operator types (UTF-8) and what clients send and the database holds (CP932 bytes), with the
// converter the client uses: an ID typed here matches the bytes that client sends for it.
class Cp932Text {
public:
    // The CP932 bytes of `utf8`; nullopt with a message naming the first character that is not valid UTF-8 or
    // that CP932 cannot hold.
    static std::optional<std::string> fromUtf8(std::string_view utf8, std::string& error);
    // What an operator typed, for a message: valid UTF-8 as it is, anything else and control characters as \xNN.
    static std::string printable(std::string_view utf8);
};

} // namespace vesmira
