#include "server/log/LogText.h"

#include "protocol/Cp932.h"
#include "server/log/Logger.h"

namespace vesmira::LogText {

std::string fromCp932(std::string_view cp932) {
    std::string out;
    for (std::size_t at = 0; at < cp932.size();) {
        const auto byte = static_cast<unsigned char>(cp932[at]);
        if (byte < 0x80) {
            out += Logger::printable(cp932.substr(at, 1));
            ++at;
            continue;
        }
        const std::size_t length = Cp932::isLeadByte(byte) && at + 1 < cp932.size() ? 2 : 1;
        const std::string_view character = cp932.substr(at, length);
        std::string converted;
        if (Cp932::decode(character, converted) == character.size()) {
            out += converted;
            at += length;
        } else {
            // Not a character: this byte alone is shown, and the next is read afresh.
            out += Logger::printable(cp932.substr(at, 1));
            ++at;
        }
    }
    return out;
}

std::string seconds(std::chrono::steady_clock::duration duration) {
    const auto tenths = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

} // namespace vesmira::LogText
