#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

// A Redis stream entry ID, "MILLISECONDS-SEQUENCE", ordered as Redis orders them.
struct StreamId {
    std::uint64_t milliseconds = 0;
    std::uint64_t sequence = 0;

    static std::optional<StreamId> parse(std::string_view text);
    std::string text() const;

    auto operator<=>(const StreamId&) const = default;
};

} // namespace vesmira
