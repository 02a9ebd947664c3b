#pragma once

#include "platform/base/CString.h"

#include <optional>
#include <string>

// TlsServers.txt in the current folder: what the user chose for each server address and port, one line a server:
//   ADDRESS PORT tls|plain FINGERPRINT
// where FINGERPRINT is the SHA-256 of the certificate the user trusts always for it (hex, colon-separated), or "-".
// Lines of any other form (a comment, a line edited by hand) are kept as they are. Deleting a server's line forgets
// the certificate trusted for it.
namespace TlsServersFile {

inline constexpr const char* kFileName = "TlsServers.txt";

struct Entry {
    bool tls = false;
    std::string fingerprint; // empty: none trusted
};

// The entry for `host` and `port`, when the file has one.
std::optional<Entry> find(const CString& host, int port);

// Writes the entry for `host` and `port` in place of any before it, keeping every other line. False when the file
// could not be read whole or not be written; the old one is then unchanged. An address that no server can have (empty,
// or with a space or a control character) is not remembered, which is no failure.
bool store(const CString& host, int port, const Entry& entry);

} // namespace TlsServersFile
