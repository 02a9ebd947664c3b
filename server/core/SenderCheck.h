#pragma once

#include "protocol/Record.h"
#include "server/limits/TokenBucket.h"

#include <string_view>

namespace vesmira {

// Every line in its sender's name. A client writes its signed-in ID, "：" and the text (the name field is set at
// sign-in and cannot be edited), so a record or a leave notice that starts otherwise is not relayed: nobody can
// make the others' clients show a line as someone else's. A client shows a line up to its first NUL; what hides
// behind it ("mallory：hi", NUL, "hanako：forged") is zeroed before anyone gets it, so that no client that reads
// further shows it either.
//
// A connection whose lines are refused stays open (a faulty client is not punished harder than needed), unless it
// sends more than kRefusalBurst of them within about a minute. Relay thread only.
class SenderCheck {
public:
    using Clock = std::chrono::steady_clock;

    enum class Verdict {
        Relay,
        OtherName, // starts with a name and "：", but another one
        NoName,    // does not start with a name and "："
    };

    static constexpr double kRefusalBurst = 20;
    static constexpr double kRefusalsPerSecond = 1.0 / 3;

    // Zeroes the bytes after the first NUL, then judges the record as a line of `id`.
    static Verdict check(Record& record, std::string_view id);
    // For the log: why a line was refused.
    static std::string_view reasonText(Verdict verdict);

    // Counts a refused line; true once they come too often.
    bool refusedTooOften(Clock::time_point now);

private:
    TokenBucket m_refusals;
    bool m_started = false;
};

} // namespace vesmira
