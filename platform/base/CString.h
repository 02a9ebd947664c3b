#pragma once

#include <compare>
#include <cstddef>
#include <string>
#include <string_view>

namespace Cp932Codec {
class Unconvertible;
}

// A counted byte string. Every text the program handles is CP932 (Shift-JIS) bytes, and every length is a byte
// count; embedded NUL bytes are kept.
class CString {
public:
    CString() = default;
    CString(const char* bytes) : m_bytes(bytes ? bytes : "") {}
    CString(const char* bytes, std::size_t length) : m_bytes(bytes, length) {}
    explicit CString(std::string bytes) : m_bytes(std::move(bytes)) {}
    explicit CString(std::string_view bytes) : m_bytes(bytes) {}

    // Converts readable UTF-8 (a literal of the program, or text from the window system) to CP932; what CP932 cannot
    // hold becomes "?" and, when `unconvertible` is given, is named there.
    static CString fromUtf8(std::string_view utf8, Cp932Codec::Unconvertible* unconvertible = nullptr);
    // The text as UTF-8 for display; bytes that are not CP932 become U+FFFD in the copy only, and are named in
    // `invalid` when it is given.
    std::string toUtf8(Cp932Codec::Unconvertible* invalid = nullptr) const;

    int GetLength() const { return static_cast<int>(m_bytes.size()); }
    std::size_t size() const { return m_bytes.size(); }
    bool IsEmpty() const { return m_bytes.empty(); }
    void Empty() { m_bytes.clear(); }

    const char* GetString() const { return m_bytes.c_str(); }
    const char* data() const { return m_bytes.data(); }
    std::string_view view() const { return m_bytes; }
    const std::string& bytes() const { return m_bytes; }
    char operator[](std::size_t index) const { return m_bytes[index]; }

    CString& operator+=(const CString& other) {
        m_bytes += other.m_bytes;
        return *this;
    }
    CString& operator+=(const char* other) {
        m_bytes += other;
        return *this;
    }
    CString& operator+=(std::string_view other) {
        m_bytes += other;
        return *this;
    }
    friend CString operator+(CString left, const CString& right) { return left += right; }

    friend bool operator==(const CString&, const CString&) = default;
    friend auto operator<=>(const CString&, const CString&) = default;

    // Replaces every non-overlapping occurrence of `oldText`, scanning left to right and continuing behind each
    // inserted replacement. An empty `oldText` changes nothing. Returns the number of replacements.
    int Replace(std::string_view oldText, std::string_view newText);

    // printf-style formatting limited to what the program uses: one "%s" and "%%".
    void Format(const char* format, const CString& argument);

    // Loads a text of the string table; false (and empty) when the ID is unknown.
    bool LoadString(int id);

private:
    std::string m_bytes;
};

// A CP932 constant from a UTF-8 literal, converted once per call site.
#define SJIS(utf8Literal)                                                                                              \
    ([]() -> const CString& {                                                                                          \
        static const CString converted = CString::fromUtf8(utf8Literal);                                               \
        return converted;                                                                                              \
    }())
