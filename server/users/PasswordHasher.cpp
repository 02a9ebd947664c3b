#include "server/users/PasswordHasher.h"

#include <sodium.h>

#include <array>

namespace vesmira {

bool PasswordHasher::initialize() {
    return sodium_init() >= 0;
}

std::optional<std::string> PasswordHasher::hash(std::string_view password) const {
    const bool minimum = m_cost == Cost::Minimum;
    const unsigned long long opsLimit = minimum ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
    const std::size_t memLimit = minimum ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
    std::array<char, crypto_pwhash_STRBYTES> out{};
    if (crypto_pwhash_str_alg(out.data(), password.data(), password.size(), opsLimit, memLimit,
                              crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return std::nullopt; // out of memory
    }
    return std::string(out.data());
}

bool PasswordHasher::verify(std::string_view storedHash, std::string_view password) const {
    // libsodium reads the hash as a C string from a buffer of exactly crypto_pwhash_STRBYTES.
    std::array<char, crypto_pwhash_STRBYTES> hashBuffer{};
    if (storedHash.empty() || storedHash.size() >= hashBuffer.size()) {
        return false;
    }
    storedHash.copy(hashBuffer.data(), storedHash.size());
    return crypto_pwhash_str_verify(hashBuffer.data(), password.data(), password.size()) == 0;
}

std::optional<PasswordHasher::Cost> PasswordHasher::parseCost(std::string_view name) {
    if (name == "interactive") {
        return Cost::Interactive;
    }
    if (name == "min") {
        return Cost::Minimum;
    }
    return std::nullopt;
}

} // namespace vesmira
