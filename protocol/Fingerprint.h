#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace vesmira {

// A TLS certificate's SHA-256 fingerprint as users compare it, between what tls-init prints and what the client's
// question shows: the digest's bytes in upper-case hex, colon-separated (as OpenSSL's x509 command prints them).
std::string fingerprintText(std::span<const unsigned char> digest);

// The length of fingerprintText() for a SHA-256 digest: 32 bytes of two digits each, and a colon between two.
inline constexpr std::size_t kFingerprintTextLength = 32 * 3 - 1;

// Whether text is a SHA-256 fingerprint as fingerprintText() writes it.
bool isFingerprintText(std::string_view text);

} // namespace vesmira
