#include "FuzzCheck.h"
#include "ScratchFolder.h"
#include "session/CredentialsFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kLineCapacity = 49; // the reader's 50-byte buffer less its terminator

// The ID the reader must find in `file`: CR LF or LF ends the line, at most 49 bytes are read, the text stops at
// its first NUL, and its last byte is dropped when it is the line end or the 49th byte.
std::string expectedId(std::string_view file) {
    std::string line;
    std::size_t i = 0;
    while (i < file.size() && line.size() < kLineCapacity) {
        char c = file[i++];
        if (c == '\r' && i < file.size() && file[i] == '\n') {
            c = '\n';
            ++i;
        }
        line += c;
        if (c == '\n') {
            break;
        }
    }
    line.resize(std::min(line.find('\0'), line.size()));
    if (!line.empty() && (line.back() == '\n' || line.size() == kLineCapacity)) {
        line.pop_back();
    }
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = vesmira::fuzz::ScratchFolder::writeInput(CredentialsFile::kFileName, data, size);

    CString userId("untouched");
    FUZZ_CHECK(CredentialsFile::read(userId) == CredentialsFile::kPresent);
    FUZZ_CHECK(userId.view() == expectedId(bytes));
    FUZZ_CHECK(userId.size() < kLineCapacity);
    FUZZ_CHECK(userId.view().find('\n') == std::string_view::npos);
    FUZZ_CHECK(userId.view().find('\0') == std::string_view::npos);

    // Storing what was read and reading it back gives the same ID, in a file only its owner may read.
    FUZZ_CHECK(::unlink(CredentialsFile::kFileName) == 0);
    FUZZ_CHECK(CredentialsFile::store(userId, CString(bytes.substr(0, 40))));
    struct stat status {};
    FUZZ_CHECK(::stat(CredentialsFile::kFileName, &status) == 0 && (status.st_mode & 0777) == 0600);
    CString again;
    FUZZ_CHECK(CredentialsFile::read(again) == CredentialsFile::kPresent);
    FUZZ_CHECK(again == userId);

    // Without the file, the caller's ID stays as it was.
    FUZZ_CHECK(::unlink(CredentialsFile::kFileName) == 0);
    FUZZ_CHECK(CredentialsFile::read(again) == CredentialsFile::kMissing);
    FUZZ_CHECK(again == userId);
    return 0;
}
