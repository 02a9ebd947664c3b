#pragma once

#include "protocol/Cp932.h"
#include "protocol/Record.h"

#include <cstddef>
#include <string_view>

namespace vesmira {

// The sign-in dialogue: the server greets, the client sends a command word and then its fields one message at a
// time, and each message gets exactly one reply.
inline constexpr std::string_view kGreeting = "Hello";
inline constexpr std::string_view kAccept = "ok";
inline constexpr std::string_view kRefuse = "ng";
// The command words (registration, authentication), each with the NUL the client sends after it.
inline constexpr std::string_view kRegisterCommand{"ENTRY\0", 6};
inline constexpr std::string_view kAuthenticateCommand{"JUDGE\0", 6};
// The fields of an authentication; a registration sends its ID and password bare.
inline constexpr std::string_view kUserPrefix = "USER:";
inline constexpr std::string_view kPasswordPrefix = "PASSWORD:";
// In CP932 bytes: what the client's 50-byte field buffer holds after "USER:" and "PASSWORD:".
inline constexpr std::size_t kMaxIdBytes = 44;
inline constexpr std::size_t kMaxPasswordBytes = 40;

// Whether a line "<id>：<text>" can only show as this ID's: a client takes the name to end at the first "：" on a
// character boundary, so the ID may hold none, and it must be whole characters (a lead byte at its end would take
// the colon's first byte as its second half and move the name's end further into the text).
constexpr bool namesItsLines(std::string_view id) {
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (id.substr(i).starts_with(kColon)) {
            return false;
        }
        if (Cp932::isLeadByte(static_cast<unsigned char>(id[i])) && ++i == id.size()) {
            return false;
        }
    }
    return true;
}

} // namespace vesmira
