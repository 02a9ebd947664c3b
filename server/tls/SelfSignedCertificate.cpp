#include "server/tls/SelfSignedCertificate.h"

#include "server/tls/TlsCredentials.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

namespace vesmira {

namespace {

template <auto Free> struct Freer {
    template <typename T> void operator()(T* object) const { Free(object); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION_free>>;

// Creates `path` with `mode` (never over an existing file) and writes it with `write`.
bool writeNewFile(const std::string& path, mode_t mode, const std::function<bool(FILE*)>& write, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd, mode); // whatever the umask
    FILE* file = ::fdopen(fd, "w");
    if (!file) {
        ::close(fd);
        ::unlink(path.c_str());
        error = "cannot write " + path;
        return false;
    }
    const bool written = write(file) && std::fflush(file) == 0 && ::fsync(fd) == 0;
    if (std::fclose(file) != 0 || !written) {
        ::unlink(path.c_str());
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool addExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

} // namespace

std::string SelfSignedCertificate::write(const std::string& certificateFile, const std::string& keyFile,
                                         std::string& error) const {
    Key key(EVP_EC_gen("P-256"));
    Certificate certificate(X509_new());
    if (!key || !certificate) {
        error = "cannot make a key";
        return {};
    }
    X509* cert = certificate.get();
    X509_set_version(cert, X509_VERSION_3);
    // A random serial: a new certificate for the same name must not look like the old one to a client's cache.
    ASN1_INTEGER* serial = X509_get_serialNumber(cert);
    BIGNUM* random = BN_new();
    const bool serialSet = random && BN_rand(random, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
                           BN_to_ASN1_INTEGER(random, serial) != nullptr;
    BN_free(random);
    X509_NAME* subject = X509_get_subject_name(cert);
    const bool made =
        serialSet && X509_gmtime_adj(X509_getm_notBefore(cert), 0) &&
        X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * days) &&
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(name.c_str()),
                                   -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert, subject) == 1 && X509_set_pubkey(cert, key.get()) == 1 &&
        addExtension(cert, NID_subject_alt_name, "DNS:" + name) &&
        addExtension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
        addExtension(cert, NID_ext_key_usage, "serverAuth") && X509_sign(cert, key.get(), EVP_sha256()) > 0;
    if (!made) {
        error = "cannot make a certificate for '" + name + "'";
        return {};
    }
    if (!writeNewFile(
            keyFile, 0600,
            [&](FILE* file) {
                return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
            },
            error)) {
        return {};
    }
    if (!writeNewFile(
            certificateFile, 0644, [&](FILE* file) { return PEM_write_X509(file, cert) == 1; }, error)) {
        ::unlink(keyFile.c_str());
        return {};
    }
    return certificateFingerprint(cert);
}

} // namespace vesmira
