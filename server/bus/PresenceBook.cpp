#include "server/bus/PresenceBook.h"

#include <algorithm>

namespace vesmira {

namespace {

Record line(std::string_view id, std::string_view suffix) {
    Record record{};
    // An ID is at most 49 bytes: the line always fits with its NUL.
    const std::size_t idSize = std::min(id.size(), kRecordSize - 1 - suffix.size());
    std::copy_n(id.begin(), idSize, record.begin());
    std::copy(suffix.begin(), suffix.end(), record.begin() + static_cast<std::ptrdiff_t>(idSize));
    return record;
}

} // namespace

std::size_t PresenceBook::add(const std::string& id) {
    return ++m_counts[id];
}

std::optional<std::size_t> PresenceBook::remove(const std::string& id) {
    const auto held = m_counts.find(id);
    if (held == m_counts.end()) {
        return std::nullopt;
    }
    if (--held->second > 0) {
        return held->second;
    }
    m_counts.erase(held);
    return 0;
}

Record PresenceBook::joined(std::string_view id) {
    return line(id, kJoinSuffix);
}

Record PresenceBook::left(std::string_view id) {
    return line(id, kLeaveSuffix);
}

} // namespace vesmira
