#pragma once

#include <string>
#include <string_view>
#include <vector>

// Conversion between the program's CP932 bytes and the UTF-8 of the window system. Used only at that boundary.
namespace Cp932Codec {

// What a conversion could not carry, kept as UTF-8 so that a message can name it: each run of such characters once,
// in the order the runs first appear.
class Unconvertible {
public:
    void add(std::string_view utf8Run);
    bool empty() const { return m_runs.empty(); }
    const std::vector<std::string>& runs() const { return m_runs; }
    // The runs separated by spaces, as a message names them.
    std::string joined() const;

private:
    std::vector<std::string> m_runs;
};

// CP932 -> UTF-8. Bytes that are not valid CP932 become U+FFFD each; the input itself is never altered. Each run of
// such bytes, as shown, goes to `invalid` when given.
std::string toUtf8(std::string_view cp932, Unconvertible* invalid = nullptr);

// UTF-8 -> CP932. A character CP932 cannot hold becomes "?", as an ANSI edit control gives it; malformed UTF-8
// bytes become "?" too. Each run of what became "?" goes to `unconvertible` when given, as it was.
std::string fromUtf8(std::string_view utf8, Unconvertible* unconvertible = nullptr);

} // namespace Cp932Codec
