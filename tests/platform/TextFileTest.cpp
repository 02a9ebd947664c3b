#include "TempDir.h"
#include "platform/base/TextFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

Lines readLines(const std::string& bytes, int capacity) {
    TempDir::write("in.txt", bytes);
    TextFileReader reader;
    EXPECT_TRUE(reader.open("in.txt"));
    Lines lines;
    std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1, '#');
    int length = -1;
    while (reader.readLine(buffer.data(), capacity, &length) && lines.size() < 20) {
        EXPECT_EQ(buffer[static_cast<std::size_t>(length)], '\0');
        lines.emplace_back(buffer.data(), static_cast<std::size_t>(length));
    }
    return lines;
}

Lines readWholeLines(const std::string& bytes) {
    TempDir::write("in.txt", bytes);
    TextFileReader reader;
    EXPECT_TRUE(reader.open("in.txt"));
    Lines lines;
    std::string line;
    while (reader.readWholeLine(line) && lines.size() < 20) {
        lines.push_back(line);
    }
    return lines;
}

Lines folderEntries() {
    Lines names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct stat statusOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
}

unsigned permissionsOf(const std::string& path) {
    return statusOf(path).st_mode & 07777;
}

// Turns the injected write failure off again whatever the test does.
struct InjectedFailure {
    explicit InjectedFailure(long afterBytes) { AtomicTextWriter::failAfterBytesForTesting(afterBytes); }
    ~InjectedFailure() { AtomicTextWriter::failAfterBytesForTesting(-1); }
};

TEST(TextFileReader, ReadsLinesEndingInCrLfOrLfAsTextWithOneLf) {
    struct Case {
        const char* what;
        std::string bytes;
        int capacity;
        Lines expected;
    };
    const Case cases[] = {
        {"CR LF", "ab\r\ncd\r\n", 100, {"ab\n", "cd\n"}},
        {"LF alone", "ab\ncd\n", 100, {"ab\n", "cd\n"}},
        {"lone CR belongs to the text", "ab\rcd\n", 100, {"ab\rcd\n"}},
        {"CR before CR LF", "ab\r\r\n", 100, {"ab\r\n"}},
        {"CR at the end of the file", "ab\r", 100, {"ab\r"}},
        {"no final line end", "ab\r\ncd", 100, {"ab\n", "cd"}},
        {"empty lines", "\r\n\n", 100, {"\n", "\n"}},
        {"empty file", "", 100, {}},
        {"NUL bytes are text", std::string("a\0b\n", 4), 100, {std::string("a\0b\n", 4)}},
        {"CP932 bytes 0D and 0A never occur inside characters", "\x95\x5C\x83\x5C\r\n", 100, {"\x95\x5C\x83\x5C\n"}},
        {"stops after capacity - 1 bytes", "abcdef\n", 4, {"abc", "def", "\n"}},
        {"line end just fits", "abc\n", 5, {"abc\n"}},
        {"CR of CR LF not counted", "abc\r\n", 5, {"abc\n"}},
        {"CR LF split by the limit", "ab\r\ncd", 3, {"ab", "\n", "cd"}},
        {"capacity 50 takes 49 bytes", std::string(60, 'x') + "\r\n", 50, {std::string(49, 'x'), "xxxxxxxxxxx\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir folder;
        EXPECT_EQ(readLines(c.bytes, c.capacity), c.expected);
    }
}

TEST(TextFileReader, EndOfFileLeavesTheBufferUntouched) {
    TempDir folder;
    for (const std::string bytes : {"", "ab\r\n", "ab"}) {
        SCOPED_TRACE(bytes);
        TempDir::write("in.txt", bytes);
        TextFileReader reader;
        ASSERT_TRUE(reader.open("in.txt"));
        char buffer[8] = "garbage";
        if (!bytes.empty()) {
            ASSERT_TRUE(reader.readLine(buffer, sizeof buffer));
        }
        std::string before(buffer, sizeof buffer);
        int length = 99;
        EXPECT_FALSE(reader.readLine(buffer, sizeof buffer, &length));
        EXPECT_EQ(std::string(buffer, sizeof buffer), before);
        EXPECT_EQ(length, 99);
        EXPECT_FALSE(reader.readLine(buffer, sizeof buffer));
    }
}

TEST(TextFileReader, ReadsWholeLinesWithoutTheirLineEnd) {
    struct Case {
        const char* what;
        std::string bytes;
        Lines expected;
    };
    const Case cases[] = {
        {"CR LF and LF", "a\r\nb\nc\r\n", {"a", "b", "c"}},
        {"no final line end", "a\r\nb", {"a", "b"}},
        {"lone CR kept", "a\rb\r\n", {"a\rb"}},
        {"empty lines", "\r\n\r\nx", {"", "", "x"}},
        {"empty file", "", {}},
        {"long line whole", std::string(300, 'y') + "\r\nnext\r\n", {std::string(300, 'y'), "next"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir folder;
        EXPECT_EQ(readWholeLines(c.bytes), c.expected);
    }
}

TEST(TextFileReader, MissingFileDoesNotOpen) {
    TempDir folder;
    TextFileReader reader;
    EXPECT_FALSE(reader.open("absent.txt"));
    EXPECT_TRUE(reader.missing());
    char buffer[4] = "abc";
    EXPECT_FALSE(reader.readLine(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "abc");
}

TEST(AtomicTextWriter, WritesEveryLfAsCrLf) {
    struct Case {
        std::vector<std::string> writes;
        std::string expected;
    };
    const Case cases[] = {
        {{"ab\ncd\n"}, "ab\r\ncd\r\n"},
        {{"ab", "\n", "cd", "\n"}, "ab\r\ncd\r\n"},
        {{"no line end"}, "no line end"},
        {{"\n\n"}, "\r\n\r\n"},
        {{"a\r\n"}, "a\r\r\n"},
        {{"\x95\x5C\n"}, "\x95\x5C\r\n"},
        {{}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        TempDir folder;
        TempDir::write("out.txt", "an old content longer than any new one\r\n");
        AtomicTextWriter writer;
        ASSERT_TRUE(writer.open("out.txt"));
        for (const std::string& text : c.writes) {
            EXPECT_TRUE(writer.write(text));
        }
        EXPECT_TRUE(writer.commit());
        EXPECT_EQ(TempDir::read("out.txt"), c.expected);
        EXPECT_EQ(folderEntries(), Lines{"out.txt"});
    }
}

TEST(AtomicTextWriter, GivesANewFileTheAskedPermissionsAndKeepsThoseOfAnExistingOne) {
    TempDir folder;
    {
        AtomicTextWriter writer;
        ASSERT_TRUE(writer.open("new.txt", 0600));
        writer.write(std::string_view("x"));
        ASSERT_TRUE(writer.commit());
        EXPECT_EQ(permissionsOf("new.txt"), 0600u);
    }
    {
        TempDir::write("old.txt", "old");
        ASSERT_EQ(::chmod("old.txt", 0640), 0);
        AtomicTextWriter writer;
        ASSERT_TRUE(writer.open("old.txt", 0600));
        writer.write(std::string_view("x"));
        ASSERT_TRUE(writer.commit());
        EXPECT_EQ(permissionsOf("old.txt"), 0640u);
        EXPECT_EQ(TempDir::read("old.txt"), "x");
    }
}

TEST(AtomicTextWriter, FailureHalfWayLeavesTheOldFileAndNoTemporaryFile) {
    for (long afterBytes : {0L, 3L, 5L}) {
        SCOPED_TRACE(afterBytes);
        TempDir folder;
        TempDir::write("out.txt", "old\r\n");
        InjectedFailure full(afterBytes);
        AtomicTextWriter writer;
        ASSERT_TRUE(writer.open("out.txt"));
        // "abc\n" becomes 5 bytes: a failure after 5 hits the second write.
        bool written = writer.write(std::string_view("abc\n")) && writer.write(std::string_view("def\n"));
        EXPECT_FALSE(written);
        EXPECT_FALSE(writer.commit());
        EXPECT_EQ(TempDir::read("out.txt"), "old\r\n");
        EXPECT_EQ(folderEntries(), Lines{"out.txt"});
    }
    // Without an old file, nothing is left at all.
    TempDir folder;
    InjectedFailure full(1);
    AtomicTextWriter writer;
    ASSERT_TRUE(writer.open("out.txt"));
    EXPECT_FALSE(writer.write(std::string_view("abc")));
    EXPECT_FALSE(writer.commit());
    EXPECT_EQ(folderEntries(), Lines{});
}

TEST(AtomicTextWriter, AbandonedWriteLeavesTheOldFile) {
    TempDir folder;
    TempDir::write("out.txt", "old");
    {
        AtomicTextWriter writer;
        ASSERT_TRUE(writer.open("out.txt"));
        EXPECT_TRUE(writer.write(std::string_view("new")));
    }
    EXPECT_EQ(TempDir::read("out.txt"), "old");
    EXPECT_EQ(folderEntries(), Lines{"out.txt"});
}

TEST(AtomicTextWriter, FailsWhereNoFileCanBeCreated) {
    TempDir folder;
    TempDir::write("plain", "not a folder");
    for (const char* path : {"missing/out.txt", "plain/out.txt"}) {
        SCOPED_TRACE(path);
        AtomicTextWriter writer;
        EXPECT_FALSE(writer.open(path));
        EXPECT_FALSE(writer.write(std::string_view("x")));
        EXPECT_FALSE(writer.commit());
    }
    EXPECT_EQ(folderEntries(), Lines{"plain"});

    // A current folder that was removed (root may write into any folder, but not into one that is gone).
    std::filesystem::create_directory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove("../gone");
    AtomicTextWriter writer;
    EXPECT_FALSE(writer.open("out.txt"));
    std::filesystem::current_path(folder.path());
}

TEST(AtomicTextWriter, FailsWhenTheTargetCannotBeReplaced) {
    TempDir folder;
    std::filesystem::create_directory("out.txt");
    AtomicTextWriter writer;
    ASSERT_TRUE(writer.open("out.txt"));
    writer.write(std::string_view("x\n"));
    EXPECT_FALSE(writer.commit());
    EXPECT_TRUE(std::filesystem::is_directory("out.txt"));
    EXPECT_EQ(folderEntries(), Lines{"out.txt"});
}

bool saveChosen(const std::string& path, const std::string& bytes) {
    AtomicTextWriter writer;
    return writer.openChosenFile(path) && writer.writeBinary(bytes) && writer.commit();
}

// Root passes every permission check: while this lives, files are checked as the user nobody would be.
struct ActingAsOrdinaryUser {
    const bool root = ::geteuid() == 0;
    ActingAsOrdinaryUser() {
        if (root) {
            ::setfsgid(65534);
            ::setfsuid(65534);
        }
    }
    ~ActingAsOrdinaryUser() {
        if (root) {
            ::setfsuid(0);
            ::setfsgid(0);
        }
    }
};

TEST(ChosenFile, ANewFileGetsTheModeTheUmaskAllowsAndAnOldOneKeepsModeOwnerAndGroup) {
    for (auto [mask, expected] : {std::pair<mode_t, unsigned>{022, 0644}, {077, 0600}, {0, 0666}}) {
        TempDir folder;
        mode_t previous = ::umask(mask);
        EXPECT_TRUE(saveChosen(folder.file("log.txt"), "a\r\n"));
        ::umask(previous);
        EXPECT_EQ(permissionsOf("log.txt"), expected) << mask;
        EXPECT_EQ(folderEntries(), Lines{"log.txt"});
    }
    TempDir folder;
    TempDir::write("log.txt", "old");
    ASSERT_EQ(::chmod("log.txt", 0604), 0);
    if (::geteuid() == 0) { // root may give the file to someone else, and saving must give it back
        ASSERT_EQ(::chown("log.txt", 65534, 65534), 0);
    }
    const struct stat before = statusOf("log.txt");
    ASSERT_TRUE(saveChosen("log.txt", "new"));
    const struct stat after = statusOf("log.txt");
    EXPECT_EQ(TempDir::read("log.txt"), "new");
    EXPECT_NE(after.st_ino, before.st_ino); // replaced in one step
    EXPECT_EQ(std::tuple(after.st_mode, after.st_uid, after.st_gid),
              std::tuple(before.st_mode, before.st_uid, before.st_gid));
    InjectedFailure full(1);
    EXPECT_FALSE(saveChosen("log.txt", "lost"));
    EXPECT_EQ(TempDir::read("log.txt"), "new");
    EXPECT_EQ(folderEntries(), Lines{"log.txt"});
}

TEST(ChosenFile, LinksAreWrittenThroughToTheFileTheyName) {
    TempDir folder;
    std::filesystem::create_directory("data");
    TempDir::write("data/real.txt", "old");
    ASSERT_EQ(::chmod("data/real.txt", 0640), 0);
    std::filesystem::create_symlink("data/real.txt", "link.txt");
    std::filesystem::create_symlink("data/created.txt", "dangling.txt");
    std::filesystem::create_hard_link("data/real.txt", "hard.txt");
    const ino_t inode = statusOf("data/real.txt").st_ino;

    ASSERT_TRUE(saveChosen(folder.file("link.txt"), "via link"));
    EXPECT_EQ(std::filesystem::read_symlink("link.txt"), "data/real.txt");
    EXPECT_EQ(TempDir::read("data/real.txt"), "via link");
    EXPECT_EQ(permissionsOf("data/real.txt"), 0640u);
    ASSERT_TRUE(saveChosen("dangling.txt", "created"));
    EXPECT_EQ(std::filesystem::read_symlink("dangling.txt"), "data/created.txt");
    EXPECT_EQ(TempDir::read("data/created.txt"), "created");
    // A hard link: every name shows the new text; a failure there is still reported.
    ASSERT_TRUE(saveChosen("hard.txt", "via hard link"));
    EXPECT_EQ(TempDir::read("data/real.txt"), "via hard link");
    EXPECT_EQ(statusOf("hard.txt").st_ino, inode);
    EXPECT_EQ(statusOf("data/real.txt").st_ino, inode);
    InjectedFailure full(3);
    EXPECT_FALSE(saveChosen("hard.txt", "cut short"));
    EXPECT_EQ(folderEntries(), (Lines{"dangling.txt", "data", "hard.txt", "link.txt"}));
}

TEST(ChosenFile, IsWrittenInPlaceWhereItCannotBeReplacedAsItWas) {
    TempDir folder;
    ASSERT_EQ(::chmod(".", 0777), 0);
    const std::string longName = std::string(250, 'n') + ".txt"; // no longer name fits beside it
    std::filesystem::create_directory("locked");                 // no file can be added, the file written
    std::vector<std::string> inPlace = {longName, "locked/log.txt", "theirs.txt"};
    for (const std::string& name : inPlace) {
        TempDir::write(name, "old");
        ASSERT_EQ(::chmod(name.c_str(), 0666), 0);
    }
    TempDir::write("readonly.txt", "kept");
    ASSERT_EQ(::chmod("readonly.txt", 0444), 0);
    ASSERT_EQ(::chmod("locked", 0555), 0);
    // Only root can make a file that belongs to someone else (here to root, saved as nobody).
    if (::geteuid() != 0) {
        inPlace.pop_back();
    }
    std::vector<ino_t> inodes;
    for (const std::string& name : inPlace) {
        inodes.push_back(statusOf(name).st_ino);
    }
    {
        ActingAsOrdinaryUser user;
        for (const std::string& name : inPlace) {
            EXPECT_TRUE(saveChosen(name, "new")) << name;
        }
        EXPECT_FALSE(saveChosen("locked/new.txt", "nowhere"));
        EXPECT_FALSE(saveChosen("readonly.txt", "refused"));
    }
    for (std::size_t i = 0; i < inPlace.size(); ++i) {
        EXPECT_EQ(TempDir::read(inPlace[i]), "new") << inPlace[i];
        EXPECT_EQ(statusOf(inPlace[i]).st_ino, inodes[i]) << inPlace[i];
    }
    EXPECT_EQ(TempDir::read("readonly.txt"), "kept");
    EXPECT_FALSE(TempDir::exists("locked/new.txt"));
    ::chmod("locked", 0755);
}

TEST(ChosenFile, AnAccessAclIsKeptByWritingInPlace) {
    TempDir folder;
    TempDir::write("log.txt", "old");
    // user::rw-, user:nobody:r--, group::r--, mask::r--, other::r-- in the kernel's xattr form.
    const std::uint32_t acl[] = {2, 0x60001, ~0u, 0x40002, 65534, 0x40004, ~0u, 0x40010, ~0u, 0x40020, ~0u};
    if (::setxattr("log.txt", "system.posix_acl_access", acl, sizeof acl, 0) != 0 && errno == EOPNOTSUPP) {
        GTEST_SKIP() << "the temporary folder's file system has no ACLs";
    }
    const ino_t inode = statusOf("log.txt").st_ino;
    ASSERT_TRUE(saveChosen("log.txt", "new"));
    EXPECT_EQ(TempDir::read("log.txt"), "new");
    EXPECT_EQ(statusOf("log.txt").st_ino, inode);
    EXPECT_EQ(::getxattr("log.txt", "system.posix_acl_access", nullptr, 0), static_cast<ssize_t>(sizeof acl));
}

} // namespace
