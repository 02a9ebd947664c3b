#pragma once

#include "protocol/Record.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vesmira {

// How many signed-in connections each ID has on this server. Relay thread only.
class PresenceBook {
public:
    // The connections of `id` now that one more signed in.
    std::size_t add(const std::string& id);
    // The connections of `id` now that one ended; nullopt for an ID it does not hold.
    std::optional<std::size_t> remove(const std::string& id);
    const std::unordered_map<std::string, std::size_t>& counts() const { return m_counts; }

    // The lines the server writes for the room, as ordinary records: "<ID>：入室しました。" and
    // "<ID>：退室しました。" (the same bytes as the leave notice a client sends for itself), NUL, zero fill.
    static Record joined(std::string_view id);
    static Record left(std::string_view id);

private:
    std::unordered_map<std::string, std::size_t> m_counts;
};

} // namespace vesmira
