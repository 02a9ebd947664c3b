#include "TempDir.h"
#include "session/TlsServersFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string kPrint = [] {
    std::string text;
    for (int i = 0; i < 32; ++i) {
        text += (i ? ":" : "") + std::string(i % 2 ? "0F" : "A9");
    }
    return text;
}();
const std::string kOther = std::string(kPrint).replace(0, 2, "FF");

TEST(TlsServersFile, StoresOneLinePerServerAndKeepsEveryOtherLine) {
    struct Case {
        const char* what;
        std::string before;
        const char* host;
        int port;
        TlsServersFile::Entry entry;
        std::string after;
    };
    const std::string header = "# Vesmira: address port tls|plain SHA-256-fingerprint-trusted-always|-\r\n";
    const std::vector<Case> cases = {
        {"a first server", "", "chat.lan", 3443, {true, ""}, header + "chat.lan 3443 tls -\r\n"},
        {"trusted",
         "chat.lan 3443 tls -\r\n",
         "chat.lan",
         3443,
         {true, kPrint},
         "chat.lan 3443 tls " + kPrint + "\r\n"},
        {"another port is another server",
         "chat.lan 3443 tls -\r\n",
         "chat.lan",
         3000,
         {false, ""},
         "chat.lan 3443 tls -\r\nchat.lan 3000 plain -\r\n"},
        {"hand-made lines and a second line for the server",
         "# mine\r\nchat.lan 3443 tls " + kOther + "\r\nbroken line\r\nchat.lan 3443 plain -\r\n",
         "chat.lan",
         3443,
         {true, kPrint},
         "# mine\r\nchat.lan 3443 tls " + kPrint + "\r\nbroken line\r\n"},
        {"a line of the server in no known form stays",
         "chat.lan 3443 tls AB:CD\r\n",
         "chat.lan",
         3443,
         {false, ""},
         "chat.lan 3443 tls AB:CD\r\nchat.lan 3443 plain -\r\n"},
        {"a prefix of the address is another server",
         "chat.lan.example 3443 tls -\r\n",
         "chat.lan",
         3443,
         {true, ""},
         "chat.lan.example 3443 tls -\r\nchat.lan 3443 tls -\r\n"},
        {"an address with a space is not remembered", "x 1 tls -\r\n", "a b", 1, {true, ""}, "x 1 tls -\r\n"},
    };
    for (const Case& c : cases) {
        TempDir folder;
        if (!c.before.empty()) {
            ASSERT_TRUE(TempDir::write(TlsServersFile::kFileName, c.before));
        }
        EXPECT_TRUE(TlsServersFile::store(c.host, c.port, c.entry)) << c.what;
        EXPECT_EQ(TempDir::read(TlsServersFile::kFileName), c.after) << c.what;
        const std::optional<TlsServersFile::Entry> found = TlsServersFile::find(c.host, c.port);
        ASSERT_EQ(found.has_value(), std::string(c.host) != "a b") << c.what;
        if (found) {
            EXPECT_EQ(found->tls, c.entry.tls) << c.what;
            EXPECT_EQ(found->fingerprint, c.entry.fingerprint) << c.what;
        }
    }
}

// A file that cannot be read whole, or is no regular file (a FIFO would block the reader for ever), is never
// rewritten: the certificates it holds for other servers would be lost.
TEST(TlsServersFile, AFileThatCannotBeReadWholeIsLeftAsItIs) {
    TempDir folder;
    const std::string file = "other.lan 3443 tls " + kPrint + "\r\n# " + std::string(1 << 20, 'x') + "\r\n";
    TempDir::write(TlsServersFile::kFileName, file);
    EXPECT_FALSE(TlsServersFile::store("chat.lan", 3443, {true, kPrint}));
    EXPECT_FALSE(TlsServersFile::find("other.lan", 3443));
    EXPECT_TRUE(TempDir::read(TlsServersFile::kFileName) == file);
    std::filesystem::remove(TlsServersFile::kFileName);
    ASSERT_EQ(::mkfifo(TlsServersFile::kFileName, 0600), 0);
    EXPECT_FALSE(TlsServersFile::store("chat.lan", 3443, {true, kPrint}));
    EXPECT_TRUE(std::filesystem::is_fifo(TlsServersFile::kFileName));
}

} // namespace
