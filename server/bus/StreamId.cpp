#include "server/bus/StreamId.h"

#include <charconv>

namespace vesmira {

namespace {

bool parsePart(std::string_view text, std::uint64_t& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

} // namespace

std::optional<StreamId> StreamId::parse(std::string_view text) {
    const auto dash = text.find('-');
    StreamId id;
    if (dash == std::string_view::npos || !parsePart(text.substr(0, dash), id.milliseconds) ||
        !parsePart(text.substr(dash + 1), id.sequence)) {
        return std::nullopt;
    }
    return id;
}

std::string StreamId::text() const {
    return std::to_string(milliseconds) + "-" + std::to_string(sequence);
}

} // namespace vesmira
