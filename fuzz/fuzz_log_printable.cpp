#include "FuzzCheck.h"
#include "server/log/LogText.h"
#include "server/log/Logger.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Undoes the escaping; false when `text` holds a backslash that does not start a \xHH escape.
bool unescape(std::string_view text, std::string& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x' || hexValue(text[i + 2]) < 0 || hexValue(text[i + 3]) < 0) {
            return false;
        }
        out += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
        i += 3;
    }
    return true;
}

} // namespace

// Peer bytes go into the server's log through Logger::printable: nothing a client sends may put a control
// character, a line break or a byte above ASCII into the log, and no two inputs may print the same. User IDs go
// through LogText::fromCp932: characters as UTF-8, but still no control character and no bare backslash.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string printed = vesmira::Logger::printable(input);
    for (char c : printed) {
        FUZZ_CHECK(c >= 0x20 && c < 0x7F);
    }
    FUZZ_CHECK(printed.size() <= 4 * input.size());
    std::string back;
    FUZZ_CHECK(unescape(printed, back));
    FUZZ_CHECK(back == input);

    const std::string shown = vesmira::LogText::fromCp932(input);
    for (char c : shown) {
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    std::string unescaped;
    FUZZ_CHECK(unescape(shown, unescaped));
    return 0;
}
