#include "Cp932Codec.h"

#include "protocol/Cp932.h"

#include <algorithm>

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Bytes to skip at a malformed or unconvertible UTF-8 sequence: the lead byte and only the continuation bytes
// that really follow it, so the characters behind a broken sequence survive.
std::size_t utf8SkipLength(std::string_view in) {
    auto lead = static_cast<unsigned char>(in[0]);
    std::size_t announced = lead >= 0xF0 && lead <= 0xF4   ? 4
                            : lead >= 0xE0 && lead <= 0xEF ? 3
                            : lead >= 0xC2 && lead <= 0xDF ? 2
                                                           : 1;
    std::size_t length = 1;
    while (length < announced && length < in.size() && (static_cast<unsigned char>(in[length]) & 0xC0) == 0x80) {
        ++length;
    }
    return length;
}

} // namespace

namespace Cp932Codec {

using vesmira::Cp932;

void Unconvertible::add(std::string_view utf8Run) {
    if (std::find(m_runs.begin(), m_runs.end(), utf8Run) == m_runs.end()) {
        m_runs.emplace_back(utf8Run);
    }
}

std::string Unconvertible::joined() const {
    std::string text;
    for (const std::string& run : m_runs) {
        text += text.empty() ? "" : " ";
        text += run;
    }
    return text;
}

std::string toUtf8(std::string_view cp932, Unconvertible* invalid) {
    if (!Cp932::available()) {
        return std::string(cp932);
    }
    std::string out;
    out.reserve(cp932.size() * 3 / 2);
    std::string run;
    while (!cp932.empty()) {
        std::size_t taken = Cp932::decode(cp932, out);
        cp932.remove_prefix(taken);
        if (invalid && taken > 0 && !run.empty()) {
            invalid->add(run);
            run.clear();
        }
        if (!cp932.empty()) {
            // An invalid or truncated sequence: mark one byte and go on with the next.
            out += kReplacementUtf8;
            run += kReplacementUtf8;
            cp932.remove_prefix(1);
        }
    }
    if (invalid && !run.empty()) {
        invalid->add(run);
    }
    return out;
}

std::string fromUtf8(std::string_view utf8, Unconvertible* unconvertible) {
    if (!Cp932::available()) {
        return std::string(utf8);
    }
    std::string out;
    out.reserve(utf8.size());
    std::string run;
    while (!utf8.empty()) {
        std::size_t taken = Cp932::encode(utf8, out);
        utf8.remove_prefix(taken);
        if (unconvertible && taken > 0 && !run.empty()) {
            unconvertible->add(run);
            run.clear();
        }
        if (!utf8.empty()) {
            out += '?';
            std::size_t skipped = utf8SkipLength(utf8);
            run += utf8.substr(0, skipped);
            utf8.remove_prefix(skipped);
        }
    }
    if (unconvertible && !run.empty()) {
        unconvertible->add(run);
    }
    return out;
}

} // namespace Cp932Codec
