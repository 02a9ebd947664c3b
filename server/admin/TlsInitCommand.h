#pragma once

#include "server/admin/CommandLine.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace vesmira {

// `vesmira-server tls-init --cert FILE --key FILE [--name HOST] [--days N] [--if-missing]`: makes the key and a
// self-signed certificate for the TLS listener and prints the fingerprint users compare with what their client
// shows.
struct TlsInitCommand : CommandLine {
    std::string certificateFile;
    std::string keyFile;
    std::string name; // the host's name when not given
    int days = 3650;
    // Both files there already: print their fingerprint and succeed (for a service's start-up).
    bool ifMissing = false;

    // `args` are those after "tls-init"; `hostName` is the default name.
    static TlsInitCommand parse(const std::vector<std::string>& args, const std::string& hostName);
    static std::string usage();

    int run(std::ostream& out, std::ostream& err) const;
};

} // namespace vesmira
