#include "CString.h"

#include "platform/base/Cp932Codec.h"
#include "res/StringTable.h"

CString CString::fromUtf8(std::string_view utf8, Cp932Codec::Unconvertible* unconvertible) {
    return CString(Cp932Codec::fromUtf8(utf8, unconvertible));
}

std::string CString::toUtf8(Cp932Codec::Unconvertible* invalid) const {
    return Cp932Codec::toUtf8(m_bytes, invalid);
}

int CString::Replace(std::string_view oldText, std::string_view newText) {
    if (oldText.empty()) {
        return 0;
    }
    std::size_t found = m_bytes.find(oldText);
    if (found == std::string::npos) {
        return 0;
    }
    std::string result;
    result.reserve(m_bytes.size());
    std::size_t position = 0;
    int count = 0;
    while (found != std::string::npos) {
        result.append(m_bytes, position, found - position);
        result.append(newText);
        position = found + oldText.size();
        ++count;
        found = m_bytes.find(oldText, position);
    }
    result.append(m_bytes, position);
    m_bytes = std::move(result);
    return count;
}

void CString::Format(const char* format, const CString& argument) {
    std::string result;
    bool argumentUsed = false;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            result += *p;
            continue;
        }
        char spec = *(p + 1);
        if (spec == '%') {
            result += '%';
            ++p;
        } else if (spec == 's' && !argumentUsed) {
            // A %s argument is a C string: it ends at its first NUL.
            result += std::string_view(argument.m_bytes.c_str());
            argumentUsed = true;
            ++p;
        } else {
            result += '%';
        }
    }
    m_bytes = std::move(result);
}

bool CString::LoadString(int id) {
    const char* text = res::findString(id);
    if (!text) {
        m_bytes.clear();
        return false;
    }
    *this = fromUtf8(text);
    return true;
}
