#include "protocol/Cp932.h"

#include <cerrno>
#include <iconv.h>

namespace vesmira {

namespace {

class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    std::size_t convert(std::string_view input, std::string& out) {
        if (!valid()) {
            return 0;
        }
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char buffer[4096];
        while (inLeft > 0) {
            char* outPtr = buffer;
            std::size_t outLeft = sizeof buffer;
            const int error = iconv(m_cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ? errno : 0;
            out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
            if (error != 0 && error != E2BIG) {
                break; // an invalid or incomplete sequence at `in`
            }
        }
        return input.size() - inLeft;
    }

private:
    iconv_t m_cd;
};

Converter& toUtf8() {
    thread_local Converter converter("UTF-8", "CP932");
    return converter;
}

Converter& fromUtf8() {
    thread_local Converter converter("CP932", "UTF-8");
    return converter;
}

} // namespace

bool Cp932::available() {
    return toUtf8().valid() && fromUtf8().valid();
}

std::size_t Cp932::decode(std::string_view cp932, std::string& utf8) {
    return toUtf8().convert(cp932, utf8);
}

std::size_t Cp932::encode(std::string_view utf8, std::string& cp932) {
    return fromUtf8().convert(utf8, cp932);
}

} // namespace vesmira
