#include "server/admin/TlsInitCommand.h"

#include "server/tls/SelfSignedCertificate.h"
#include "server/tls/TlsCredentials.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <openssl/pem.h>
#include <ostream>

namespace vesmira {

namespace {

TlsInitCommand failure(std::string message) {
    TlsInitCommand command;
    command.action = TlsInitCommand::Action::Fail;
    command.error = std::move(message);
    return command;
}

// A name a certificate can carry as its DNS name: letters, digits, dots, hyphens (and underscores, which some
// machines' names have).
bool isHostName(const std::string& name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                             c == '-' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

std::string fingerprintOfFile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) {
        return {};
    }
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    const std::string fingerprint = certificateFingerprint(certificate);
    X509_free(certificate);
    return fingerprint;
}

} // namespace

TlsInitCommand TlsInitCommand::parse(const std::vector<std::string>& args, const std::string& hostName) {
    TlsInitCommand command;
    command.name = hostName;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            command.action = Action::ShowHelp;
            return command;
        }
        if (arg == "--if-missing") {
            command.ifMissing = true;
            continue;
        }
        if (arg != "--cert" && arg != "--key" && arg != "--name" && arg != "--days") {
            return failure("unknown option '" + arg + "'");
        }
        if (i + 1 == args.size()) {
            return failure("option '" + arg + "' needs a value");
        }
        const std::string& value = args[++i];
        if (arg == "--cert") {
            command.certificateFile = value;
        } else if (arg == "--key") {
            command.keyFile = value;
        } else if (arg == "--name") {
            command.name = value;
        } else {
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), command.days);
            if (ec != std::errc() || end != value.data() + value.size() || command.days < 1 || command.days > 36500) {
                return failure("--days needs a number from 1 to 36500, not '" + value + "'");
            }
        }
    }
    if (command.certificateFile.empty() || command.keyFile.empty()) {
        return failure("tls-init needs --cert FILE and --key FILE");
    }
    if (!isHostName(command.name)) {
        return failure("--name needs a host name (letters, digits, dots, hyphens), not '" + command.name + "'");
    }
    return command;
}

std::string TlsInitCommand::usage() {
    return "Usage: vesmira-server tls-init --cert FILE --key FILE [OPTION]...\n"
           "Makes a private key (ECDSA P-256, mode 600) and a self-signed certificate for it (mode 644) for\n"
           "--tls-port, and prints the certificate's SHA-256 fingerprint: tell it to your users, whose client\n"
           "shows it when they first connect. Files that exist are never overwritten.\n"
           "\n"
           "  --cert FILE    where the certificate goes\n"
           "  --key FILE     where the key goes\n"
           "  --name HOST    the name the certificate is for (default: this machine's host name)\n"
           "  --days N       how long it is valid (default 3650)\n"
           "  --if-missing   when both files exist, only print the certificate's fingerprint\n"
           "  --help         show this help and exit\n"
           "\n"
           "Exit status: 0 done, 1 not done (a file exists, cannot be written), 2 a bad command line.\n";
}

int TlsInitCommand::run(std::ostream& out, std::ostream& err) const {
    std::error_code ec;
    const bool certificateThere = std::filesystem::exists(certificateFile, ec);
    const bool keyThere = std::filesystem::exists(keyFile, ec);
    if (ifMissing && certificateThere && keyThere) {
        const std::string fingerprint = fingerprintOfFile(certificateFile);
        if (fingerprint.empty()) {
            err << "vesmira-server tls-init: " << certificateFile << " is not a PEM certificate\n";
            return kNotDone;
        }
        out << certificateFile << " is there already.\nSHA-256 fingerprint: " << fingerprint << "\n";
        return kDone;
    }
    if (certificateThere || keyThere) {
        err << "vesmira-server tls-init: " << (certificateThere ? certificateFile : keyFile)
            << " exists; remove it first to make a new certificate (users will then see a warning until they "
               "trust the new one)\n";
        return kNotDone;
    }
    std::string error;
    const std::string fingerprint = SelfSignedCertificate{name, days}.write(certificateFile, keyFile, error);
    if (fingerprint.empty()) {
        err << "vesmira-server tls-init: " << error << "\n";
        return kNotDone;
    }
    out << "Wrote " << keyFile << " (the key: keep it secret) and " << certificateFile << " for " << name << ", valid "
        << days << " days.\nSHA-256 fingerprint: " << fingerprint << "\n";
    return kDone;
}

} // namespace vesmira
