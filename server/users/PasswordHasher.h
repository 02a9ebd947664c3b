#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

// Argon2id password hashes in libsodium's self-describing string form, so a hash made at one cost still verifies
// after the cost setting changes.
class PasswordHasher {
public:
    enum class Cost {
        Interactive, // libsodium's interactive limits: the production setting
        Minimum,     // the smallest Argon2id parameters: for tests and slow machines only
    };

    explicit PasswordHasher(Cost cost) : m_cost(cost) {}

    // Must succeed once before any hashing; safe to call repeatedly.
    static bool initialize();

    std::optional<std::string> hash(std::string_view password) const;
    bool verify(std::string_view storedHash, std::string_view password) const;

    static std::optional<Cost> parseCost(std::string_view name);

private:
    Cost m_cost;
};

} // namespace vesmira
