#include "TestCertificate.h"

#include "TempDir.h"

#include <array>
#include <cstdio>
#include <random>
#include <stdexcept>

namespace {

std::string run(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) {
        throw std::runtime_error("cannot run: " + command);
    }
    std::string output;
    std::array<char, 256> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe)) {
        output += chunk.data();
    }
    if (::pclose(pipe) != 0) {
        throw std::runtime_error("failed: " + command);
    }
    return output;
}

TestCertificate files(const std::string& folder, const std::string& name) {
    return {folder + "/" + name + ".pem", folder + "/" + name + "-key.pem", {}};
}

const char* kNewKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2";

} // namespace

TestCertificate TestCertificate::make(const std::string& folder, const std::string& name, const std::string& host,
                                      const TestCertificate* issuer) {
    TestCertificate made = files(folder, name);
    const std::string names = "subjectAltName=DNS:" + host + ",IP:127.0.0.1";
    if (!issuer) {
        run("openssl req -x509" + std::string(kNewKey) + " -keyout '" + made.key + "' -out '" + made.certificate +
            "' -subj '/CN=" + host + "' -addext '" + names + "'");
    } else {
        const std::string request = folder + "/" + name + ".csr";
        const std::string extensions = folder + "/" + name + ".ext";
        TempDir::write(extensions, names + "\n");
        run("openssl req -new" + std::string(kNewKey) + " -keyout '" + made.key + "' -out '" + request +
            "' -subj '/CN=" + host + "'");
        run("openssl x509 -req -days 2 -in '" + request + "' -CA '" + issuer->certificate + "' -CAkey '" + issuer->key +
            "' -set_serial " + std::to_string(std::random_device()() & 0x7fffffff) + " -extfile '" + extensions +
            "' -out '" + made.certificate + "'");
    }
    made.fingerprint = fingerprintOf(made.certificate);
    return made;
}

TestCertificate TestCertificate::authority(const std::string& folder, const std::string& name) {
    TestCertificate made = files(folder, name);
    run("openssl req -x509" + std::string(kNewKey) + " -keyout '" + made.key + "' -out '" + made.certificate +
        "' -subj '/CN=Vesmira test authority " + name + "' -addext basicConstraints=critical,CA:TRUE" +
        " -addext keyUsage=critical,keyCertSign");
    made.fingerprint = fingerprintOf(made.certificate);
    return made;
}

std::string TestCertificate::fingerprintOf(const std::string& certificate) {
    const std::string line = run("openssl x509 -noout -fingerprint -sha256 -in '" + certificate + "'");
    return line.substr(line.find('=') + 1, 95);
}
