#pragma once

#include <string>

namespace vesmira {

// `vesmira-server tls-init`: a key (ECDSA P-256) and a self-signed certificate for a server that users trust by
// its fingerprint rather than through a certificate authority.
struct SelfSignedCertificate {
    std::string name; // the certificate's subject and DNS name: the host's name
    int days = 3650;

    // Writes the key (mode 0600) and the certificate (0644); neither file may exist yet. Returns the certificate's
    // SHA-256 fingerprint, or an empty string with a message in `error`.
    std::string write(const std::string& certificateFile, const std::string& keyFile, std::string& error) const;
};

} // namespace vesmira
