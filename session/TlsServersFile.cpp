#include "TlsServersFile.h"

#include "platform/base/TextFile.h"
#include "protocol/Fingerprint.h"

#include <algorithm>
#include <sstream>
#include <utility>
#include <vector>

namespace TlsServersFile {

namespace {

constexpr const char* kHeader = "# Vesmira: address port tls|plain SHA-256-fingerprint-trusted-always|-";

bool isKey(const CString& host) {
    return !host.IsEmpty() && std::none_of(host.view().begin(), host.view().end(),
                                           [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

// The entry a line holds for `key` ("ADDRESS PORT"), if it is a well-formed line for that server.
std::optional<Entry> parse(const std::string& line, const std::string& key) {
    if (line.compare(0, key.size() + 1, key + " ") != 0) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(key.size() + 1));
    std::string mode;
    std::string fingerprint;
    std::string extra;
    if (!(fields >> mode >> fingerprint) || (fields >> extra) || (mode != "tls" && mode != "plain") ||
        (fingerprint != "-" && !vesmira::isFingerprintText(fingerprint))) {
        return std::nullopt;
    }
    return Entry{mode == "tls", fingerprint == "-" ? std::string() : fingerprint};
}

std::string keyOf(const CString& host, int port) {
    return host.bytes() + " " + std::to_string(port);
}

// Every line of the file; none when there is no file, nothing when there is one that cannot be read whole.
std::optional<std::vector<std::string>> readLines() {
    std::vector<std::string> lines;
    TextFileReader file;
    if (!file.open(kFileName)) {
        return file.missing() ? std::optional(lines) : std::nullopt;
    }
    std::string line;
    while (file.readWholeLine(line)) {
        lines.push_back(line);
    }
    return file.damaged() ? std::nullopt : std::optional(std::move(lines));
}

} // namespace

std::optional<Entry> find(const CString& host, int port) {
    if (!isKey(host)) {
        return std::nullopt;
    }
    const std::string key = keyOf(host, port);
    for (const std::string& line : readLines().value_or(std::vector<std::string>())) {
        if (std::optional<Entry> entry = parse(line, key)) {
            return entry;
        }
    }
    return std::nullopt;
}

bool store(const CString& host, int port, const Entry& entry) {
    if (!isKey(host)) {
        return true;
    }
    if (!entry.fingerprint.empty() && !vesmira::isFingerprintText(entry.fingerprint)) {
        return false;
    }
    const std::string key = keyOf(host, port);
    const std::string stored =
        key + (entry.tls ? " tls " : " plain ") + (entry.fingerprint.empty() ? "-" : entry.fingerprint);
    // Rewriting a file that could not be read whole would drop the certificates trusted for other servers.
    std::optional<std::vector<std::string>> old = readLines();
    if (!old) {
        return false;
    }
    std::vector<std::string> lines;
    bool placed = false;
    for (std::string& line : *old) {
        if (!parse(line, key)) {
            lines.push_back(std::move(line));
        } else if (!placed) {
            lines.push_back(stored);
            placed = true;
        } // a later line for the same server is dropped
    }
    if (lines.empty()) {
        lines.push_back(kHeader);
    }
    if (!placed) {
        lines.push_back(stored);
    }
    AtomicTextWriter file;
    if (!file.open(kFileName)) {
        return false;
    }
    for (const std::string& line : lines) {
        file.write(line);
        file.write(std::string_view("\n"));
    }
    return file.commit();
}

} // namespace TlsServersFile
