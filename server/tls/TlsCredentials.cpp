#include "server/tls/TlsCredentials.h"

#include "protocol/Fingerprint.h"

#include <array>
#include <ctime>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

namespace vesmira {

namespace {

// For TLS 1.2: ECDHE key exchange and AEAD ciphers only (TLS 1.3 has only such suites). Mozilla's "intermediate".
constexpr const char* kTls12Ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                      "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                      "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::string expiryText(const X509* certificate) {
    std::tm expiry{};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &expiry) != 1) {
        return "unknown";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &expiry);
    return text;
}

} // namespace

std::string certificateFingerprint(const X509* certificate) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest.data(), &size) != 1) {
        return {};
    }
    return fingerprintText(std::span(digest.data(), size));
}

TlsCredentials::TlsCredentials(std::string certificateFile, std::string keyFile)
    : m_certificateFile(std::move(certificateFile)), m_keyFile(std::move(keyFile)) {}

bool TlsCredentials::load(std::string& error, std::string& warning) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX* handle = context->native_handle();
    SSL_CTX_set_min_proto_version(handle, TLS1_2_VERSION);
    SSL_CTX_set_options(handle, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_NO_TICKET);
    // Clients do not resume sessions: a ticket would only cost a write per handshake.
    SSL_CTX_set_num_tickets(handle, 0);
    SSL_CTX_set_session_cache_mode(handle, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_cipher_list(handle, kTls12Ciphers);
    // AES-128 first: as safe here as AES-256 and cheaper for every record relayed.
    SSL_CTX_set_ciphersuites(handle, "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384");
    SSL_CTX_set_options(handle, SSL_OP_CIPHER_SERVER_PREFERENCE);
    // An encrypted key is refused like any unusable one: without a callback OpenSSL would ask for its passphrase
    // on the terminal, from the relay thread, and the server would stop serving until someone typed it. The
    // context keeps the callback, so the flag it sets is shared with it.
    const auto passphraseAsked = std::make_shared<bool>(false);
    std::error_code ec;
    context->set_password_callback(
        [passphraseAsked](std::size_t, asio::ssl::context::password_purpose) {
            *passphraseAsked = true;
            return std::string();
        },
        ec);
    context->use_certificate_chain_file(m_certificateFile, ec);
    if (ec) {
        error = "cannot use the certificate " + m_certificateFile + ": " + ec.message();
        return false;
    }
    context->use_private_key_file(m_keyFile, asio::ssl::context::pem, ec);
    if (ec && *passphraseAsked) {
        error = "cannot use the key " + m_keyFile + ": it is encrypted (the server asks for no passphrase)";
        return false;
    }
    if (ec || SSL_CTX_check_private_key(handle) != 1) {
        error = "cannot use the key " + m_keyFile + (ec ? ": " + ec.message() : ": it does not match the certificate");
        return false;
    }
    struct stat status {};
    if (::stat(m_keyFile.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
        warning = "the key " + m_keyFile + " may be read by others than its owner (chmod 600 it)";
    }
    const X509* certificate = SSL_CTX_get0_certificate(handle);
    m_fingerprint = certificateFingerprint(certificate);
    m_expiry = expiryText(certificate);
    m_context = std::move(context);
    return true;
}

} // namespace vesmira
