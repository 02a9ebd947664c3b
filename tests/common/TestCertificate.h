#pragma once

#include <string>

// A key and certificate for tests, made by the openssl command (real OpenSSL, none of the code under test): self-
// signed, or signed by a test authority that a test may trust through SSL_CERT_FILE. Throws when openssl fails.
struct TestCertificate {
    std::string certificate; // PEM files
    std::string key;
    std::string fingerprint; // SHA-256 as OpenSSL prints it: "AB:CD:..."

    // `name`.pem and `name`-key.pem in `folder`, for the DNS name `host` and 127.0.0.1.
    static TestCertificate make(const std::string& folder, const std::string& name, const std::string& host,
                                const TestCertificate* issuer = nullptr);
    static TestCertificate authority(const std::string& folder, const std::string& name);
    // The SHA-256 fingerprint of the certificate in a PEM file.
    static std::string fingerprintOf(const std::string& certificate);
};
