#include "server/core/SenderCheck.h"

#include "protocol/SignInWords.h"

#include <algorithm>

namespace vesmira {

SenderCheck::Verdict SenderCheck::check(Record& record, std::string_view id) {
    const auto end = std::find(record.begin(), record.end(), '\0');
    std::fill(end, record.end(), '\0');
    const std::string_view line(record.data(), static_cast<std::size_t>(end - record.begin()));
    if (!id.empty() && line.starts_with(id) && line.substr(id.size()).starts_with(kColon)) {
        return Verdict::Relay;
    }
    const std::size_t colon = line.find(kColon);
    return colon > 0 && colon != std::string_view::npos && colon <= kMaxIdBytes ? Verdict::OtherName : Verdict::NoName;
}

std::string_view SenderCheck::reasonText(Verdict verdict) {
    switch (verdict) {
    case Verdict::OtherName:
        return "in another user's name";
    case Verdict::NoName:
        return "not in its sender's name";
    case Verdict::Relay:
        break;
    }
    return "in its sender's name";
}

bool SenderCheck::refusedTooOften(Clock::time_point now) {
    if (!m_started) {
        m_started = true;
        m_refusals = TokenBucket(kRefusalsPerSecond, kRefusalBurst, now);
    }
    if (m_refusals.available(now) == 0) {
        return true;
    }
    m_refusals.take(1);
    return false;
}

} // namespace vesmira
