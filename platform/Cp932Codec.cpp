#include "Cp932Codec.h"

#include <cerrno>
#include <iconv.h>

namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// One descriptor per direction and thread, opened on first use and reused: opening iconv is costly.
class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (m_cd != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as possible; on return `in` points at the first byte that could not be converted.
    // Returns errno of the stop (0 when all input was consumed).
    int convert(const char*& in, std::size_t& inLeft, std::string& out) {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char buffer[4096];
        while (inLeft > 0) {
            char* inPtr = const_cast<char*>(in);
            char* outPtr = buffer;
            std::size_t outLeft = sizeof buffer;
            std::size_t result = iconv(m_cd, &inPtr, &inLeft, &outPtr, &outLeft);
            int error = result == static_cast<std::size_t>(-1) ? errno : 0;
            in = inPtr;
            out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
            if (error == E2BIG) {
                continue;
            }
            if (error != 0) {
                return error;
            }
        }
        return 0;
    }

private:
    iconv_t m_cd;
};

Converter& toUtf8Converter() {
    thread_local Converter converter("UTF-8", "CP932");
    return converter;
}

Converter& fromUtf8Converter() {
    thread_local Converter converter("CP932", "UTF-8");
    return converter;
}

// Bytes to skip at a malformed or unconvertible UTF-8 sequence: the lead byte and only the continuation bytes
// that really follow it, so the characters behind a broken sequence survive.
std::size_t utf8SkipLength(const char* in, std::size_t available) {
    auto lead = static_cast<unsigned char>(in[0]);
    std::size_t announced = lead >= 0xF0 && lead <= 0xF4   ? 4
                            : lead >= 0xE0 && lead <= 0xEF ? 3
                            : lead >= 0xC2 && lead <= 0xDF ? 2
                                                           : 1;
    std::size_t length = 1;
    while (length < announced && length < available && (static_cast<unsigned char>(in[length]) & 0xC0) == 0x80) {
        ++length;
    }
    return length;
}

} // namespace

namespace Cp932Codec {

std::string toUtf8(std::string_view cp932) {
    std::string out;
    out.reserve(cp932.size() * 3 / 2);
    Converter& converter = toUtf8Converter();
    const char* in = cp932.data();
    std::size_t inLeft = cp932.size();
    if (!converter.valid()) {
        return std::string(cp932);
    }
    while (inLeft > 0) {
        if (converter.convert(in, inLeft, out) == 0) {
            break;
        }
        // An invalid or truncated sequence: mark one byte and go on with the next.
        out += kReplacementUtf8;
        ++in;
        --inLeft;
    }
    return out;
}

std::string fromUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    Converter& converter = fromUtf8Converter();
    const char* in = utf8.data();
    std::size_t inLeft = utf8.size();
    if (!converter.valid()) {
        return std::string(utf8);
    }
    while (inLeft > 0) {
        if (converter.convert(in, inLeft, out) == 0) {
            break;
        }
        std::size_t skip = utf8SkipLength(in, inLeft);
        out += '?';
        in += skip;
        inLeft -= skip;
    }
    return out;
}

} // namespace Cp932Codec
