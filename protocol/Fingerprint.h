#pragma once

#include <span>
#include <string>

namespace vesmira {

// A TLS certificate's SHA-256 fingerprint as users compare it, between what tls-init prints and what the client's
// question shows: the digest's bytes in upper-case hex, colon-separated (as OpenSSL's x509 command prints them).
std::string fingerprintText(std::span<const unsigned char> digest);

} // namespace vesmira
