#pragma once

#include <asio.hpp>
#include <asio/ssl/context.hpp>

#include <memory>
#include <string>

namespace vesmira {

// The certificate and key the TLS listener presents, in a context that new connections are made with: TLS 1.2 and
// 1.3 only, forward-secret AEAD ciphers, no renegotiation, no compression, no session tickets. Loading again
// (SIGHUP) replaces the context for connections made from then on; one made before keeps the context it began
// with. Relay thread only.
class TlsCredentials {
public:
    TlsCredentials(std::string certificateFile, std::string keyFile);

    // Reads both files into a new context; false with a message when they cannot be used, and the context in use
    // stays. `warning` is set when the key file may be read by others than its owner.
    bool load(std::string& error, std::string& warning);

    const std::shared_ptr<asio::ssl::context>& context() const { return m_context; }
    // The certificate's SHA-256 fingerprint as users compare it: 32 bytes in hex, colon-separated.
    const std::string& fingerprint() const { return m_fingerprint; }
    // When the certificate expires, in UTC ("2036-12-08 09:12:40"), for the log.
    const std::string& expiry() const { return m_expiry; }
    const std::string& certificateFile() const { return m_certificateFile; }

private:
    std::string m_certificateFile;
    std::string m_keyFile;
    std::shared_ptr<asio::ssl::context> m_context;
    std::string m_fingerprint;
    std::string m_expiry;
};

// The SHA-256 fingerprint of a certificate, in the form TlsCredentials::fingerprint() gives.
std::string certificateFingerprint(const X509* certificate);

} // namespace vesmira
