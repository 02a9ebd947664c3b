#pragma once

#include <optional>
#include <string>

namespace vesmira {

// Reads a new password as UTF-8 text. From a terminal: prompts on standard error, reads with echo off, and asks
// a second time to confirm. From anything else (a pipe, a file): the first line of standard input, without its
// line end, so scripts can set passwords.
class PasswordPrompt {
public:
    // `prompt` names what the password is for. nullopt with a message in `error` when nothing usable was read.
    static std::optional<std::string> read(const std::string& prompt, std::string& error);
};

} // namespace vesmira
