#include "TlsSession.h"

#include "protocol/Fingerprint.h"

#include <arpa/inet.h>
#include <array>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace {

// A context per connection: the authorities are those of the system (SSL_CERT_FILE and SSL_CERT_DIR may point
// elsewhere) at the time of connecting. The verdict is the caller's, so the handshake goes on whatever it is.
SSL_CTX* newContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context) {
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
        SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_default_verify_paths(context);
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    }
    return context;
}

bool isAddress(const std::string& host) {
    std::array<unsigned char, 16> bytes{};
    return inet_pton(AF_INET, host.c_str(), bytes.data()) == 1 || inet_pton(AF_INET6, host.c_str(), bytes.data()) == 1;
}

std::string fingerprintOf(X509* certificate) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest.data(), &size) != 1) {
        return {};
    }
    return vesmira::fingerprintText(std::span(digest.data(), size));
}

} // namespace

TlsSession::TlsSession(int fd, const std::string& host) {
    SSL_CTX* context = newContext();
    m_ssl = context ? SSL_new(context) : nullptr;
    SSL_CTX_free(context); // the session holds its own reference
    if (!m_ssl) {
        m_error = "OpenSSL could not start";
        return;
    }
    SSL_set_fd(m_ssl, fd);
    if (isAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(m_ssl, host.c_str());
        SSL_set1_host(m_ssl, host.c_str());
    }
}

TlsSession::~TlsSession() {
    SSL_free(m_ssl);
}

TlsSession::Status TlsSession::status(int result) {
    const int error = SSL_get_error(m_ssl, result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return kWantRead;
    case SSL_ERROR_WANT_WRITE:
        return kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return kClosed;
    default:
        break;
    }
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    // The peer closed without TLS's own end, or reset: to the chat it is the end of the stream either way. OpenSSL 3
    // reports a close without TLS's end as an unexpected end of file instead.
    if ((error == SSL_ERROR_SYSCALL && code == 0) || ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        return kClosed;
    }
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    const char* reason = ERR_reason_error_string(code);
    m_error = reason ? reason : text;
    return kFailed;
}

TlsSession::Status TlsSession::handshake() {
    if (!m_ssl) {
        return kFailed;
    }
    const int result = SSL_connect(m_ssl);
    if (result != 1) {
        const Status outcome = status(result);
        if (outcome == kClosed) {
            m_error = "the server closed the connection during the handshake";
            return kFailed;
        }
        return outcome;
    }
    X509* certificate = SSL_get1_peer_certificate(m_ssl);
    m_fingerprint = fingerprintOf(certificate);
    m_verified = certificate && SSL_get_verify_result(m_ssl) == X509_V_OK;
    X509_free(certificate);
    if (m_fingerprint.empty()) {
        m_error = "the server showed no certificate";
        return kFailed;
    }
    return kDone;
}

TlsSession::Status TlsSession::read(void* buffer, int capacity, int& count, bool peek) {
    count = 0;
    if (capacity <= 0) {
        return kDone;
    }
    const int result = peek ? SSL_peek(m_ssl, buffer, capacity) : SSL_read(m_ssl, buffer, capacity);
    if (result > 0) {
        count = result;
        return kDone;
    }
    return status(result);
}

TlsSession::Status TlsSession::write(const void* buffer, int length, int& count) {
    count = 0;
    if (length <= 0) {
        return kDone;
    }
    const int result = SSL_write(m_ssl, buffer, length);
    if (result > 0) {
        count = result;
        return kDone;
    }
    return status(result);
}

bool TlsSession::pending() const {
    return m_ssl && SSL_pending(m_ssl) > 0;
}

void TlsSession::closeNotify() {
    if (m_ssl && SSL_is_init_finished(m_ssl)) {
        SSL_shutdown(m_ssl);
        ERR_clear_error();
    }
}
