#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace vesmira::LogText {

// An ID as an operator reads it (in the log, in `users list`): CP932 characters as UTF-8; every byte that is not
// part of one, every control character and the backslash itself as \xNN, so what a client sent is never written
// raw and an escape in the text cannot pass for one of ours.
std::string fromCp932(std::string_view cp932);

// A time span in seconds with one decimal, "12.3 s".
std::string seconds(std::chrono::steady_clock::duration duration);

} // namespace vesmira::LogText
