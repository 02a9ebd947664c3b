#include "FuzzCheck.h"
#include "ScratchFolder.h"
#include "platform/base/TextFile.h"
#include "session/TlsServersFile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines() {
    std::vector<std::string> read;
    TextFileReader file;
    std::string line;
    FUZZ_CHECK(file.open(TlsServersFile::kFileName));
    while (file.readWholeLine(line)) {
        read.push_back(line);
    }
    return read;
}

const std::string kPrint =
    "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";

} // namespace

// Whatever the file holds, remembering a server keeps every line of the others, and the server is found as stored;
// storing it again changes that one line only.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vesmira::fuzz::ScratchFolder::writeInput(TlsServersFile::kFileName, data, size);
    const std::vector<std::string> before = lines();
    TlsServersFile::find("chat.lan", 3443);
    FUZZ_CHECK(TlsServersFile::store("chat.lan", 3443, {true, kPrint}));
    const std::vector<std::string> after = lines();
    for (const std::string& line : before) {
        FUZZ_CHECK(line.starts_with("chat.lan 3443 ") || std::find(after.begin(), after.end(), line) != after.end());
    }
    const auto found = TlsServersFile::find("chat.lan", 3443);
    FUZZ_CHECK(found && found->tls && found->fingerprint == kPrint);
    FUZZ_CHECK(TlsServersFile::store("chat.lan", 3443, {false, ""}));
    FUZZ_CHECK(lines().size() == after.size());
    const auto again = TlsServersFile::find("chat.lan", 3443);
    FUZZ_CHECK(again && !again->tls && again->fingerprint.empty());
    return 0;
}
