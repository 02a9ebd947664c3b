#include "ScriptedPeer.h"
#include "TempDir.h"
#include "platform/base/TextFile.h"
#include "session/CredentialsFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::string id(std::size_t bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    return text;
}

std::vector<std::string> folderEntries() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

struct InjectedFailure {
    explicit InjectedFailure(long afterBytes) { AtomicTextWriter::failAfterBytesForTesting(afterBytes); }
    ~InjectedFailure() { AtomicTextWriter::failAfterBytesForTesting(-1); }
};

TEST(CredentialsFile, ReadsTheIdFromLineOne) {
    struct Case {
        const char* what;
        std::string file;
        std::string expectedId;
    };
    const Case cases[] = {
        {"CR LF", "abc\r\npw\r\n", "abc"},
        {"LF alone", "abc\npw\n", "abc"},
        {"CP932 ID", sjis("太郎\r\n秘密\r\n"), sjis("太郎")},
        {"ID with a backslash trail byte", sjis("表\r\npw\r\n"), sjis("表")},
        {"no line 2", "abc\r\n", "abc"},
        // Only a line end is dropped, so the ID of a file without one comes back whole.
        {"one line without a line end", "abc", "abc"},
        {"line 1 only a line end", "\r\npw\r\n", ""},
        {"empty file", "", ""},
        {"lone CR belongs to the ID", "ab\rc\r\npw\r\n", "ab\rc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir folder;
        TempDir::write(CredentialsFile::kFileName, c.file);
        CString userId("NONE");
        EXPECT_EQ(CredentialsFile::read(userId), CredentialsFile::kPresent);
        EXPECT_EQ(userId.bytes(), c.expectedId);
    }
}

// The reader takes at most 49 bytes of line 1 and drops the last one unless the line ended before: a line end, or
// the end of a file whose last line has none.
TEST(CredentialsFile, LineOneOf49BytesOrMoreGivesItsFirst48) {
    struct Case {
        std::size_t idBytes;
        std::string after;
        std::size_t expectedBytes;
    };
    const Case cases[] = {
        {47, "\r\npw\r\n", 47}, {47, "", 47}, {48, "\r\npw\r\n", 48}, {48, "\npw\n", 48}, {48, "", 48},
        {49, "\r\npw\r\n", 48}, {49, "", 48}, {50, "\r\npw\r\n", 48}, {50, "", 48},       {60, "\r\npw\r\n", 48},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.idBytes) + (c.after.empty() ? " bytes, no line end" : " bytes and a line end"));
        TempDir folder;
        TempDir::write(CredentialsFile::kFileName, id(c.idBytes) + c.after);
        CString userId("NONE");
        EXPECT_EQ(CredentialsFile::read(userId), CredentialsFile::kPresent);
        EXPECT_EQ(userId.bytes(), id(c.expectedBytes));
    }
}

TEST(CredentialsFile, MissingFileLeavesTheIdAlone) {
    TempDir folder;
    CString userId("NONE");
    EXPECT_EQ(CredentialsFile::read(userId), CredentialsFile::kMissing);
    EXPECT_EQ(userId.bytes(), "NONE");
    EXPECT_EQ(CredentialsFile::kMissing, 1);
    EXPECT_EQ(CredentialsFile::kPresent, 2);
}

TEST(CredentialsFile, StoresIdAndPasswordAsTwoCrLfLinesForItsOwnerOnly) {
    struct Case {
        std::string userId;
        std::string password;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", "pw", "abc\r\npw\r\n"},
        {sjis("太郎"), sjis("秘密"), sjis("太郎\r\n秘密\r\n")},
        {id(44), id(40), id(44) + "\r\n" + id(40) + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.userId);
        TempDir folder;
        ASSERT_TRUE(CredentialsFile::store(CString(c.userId), CString(c.password)));
        EXPECT_EQ(TempDir::read(CredentialsFile::kFileName), c.expected);
        struct stat info {};
        ASSERT_EQ(::stat(CredentialsFile::kFileName, &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(folderEntries(), std::vector<std::string>{CredentialsFile::kFileName});

        CString readBack;
        EXPECT_EQ(CredentialsFile::read(readBack), CredentialsFile::kPresent);
        EXPECT_EQ(readBack.bytes(), c.userId);
    }
}

TEST(CredentialsFile, StoreMakesAnOlderReadableFilePrivate) {
    TempDir folder;
    TempDir::write(CredentialsFile::kFileName, "old\r\nsecret\r\n");
    ASSERT_EQ(::chmod(CredentialsFile::kFileName, 0644), 0);
    ASSERT_TRUE(CredentialsFile::store("taro", "pw"));
    struct stat info {};
    ASSERT_EQ(::stat(CredentialsFile::kFileName, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(CredentialsFile, FailedStoreKeepsTheOldFile) {
    for (long afterBytes : {0L, 4L, 7L}) {
        SCOPED_TRACE(afterBytes);
        TempDir folder;
        TempDir::write(CredentialsFile::kFileName, "old\r\nsecret\r\n");
        InjectedFailure full(afterBytes);
        EXPECT_FALSE(CredentialsFile::store("taro", "pw"));
        EXPECT_EQ(TempDir::read(CredentialsFile::kFileName), "old\r\nsecret\r\n");
        EXPECT_EQ(folderEntries(), std::vector<std::string>{CredentialsFile::kFileName});
    }
}

TEST(CredentialsFile, FailedStoreCreatesNoFile) {
    TempDir folder;
    {
        InjectedFailure full(2);
        EXPECT_FALSE(CredentialsFile::store("taro", "pw"));
    }
    EXPECT_FALSE(TempDir::exists(CredentialsFile::kFileName));
    CString userId("NONE");
    EXPECT_EQ(CredentialsFile::read(userId), CredentialsFile::kMissing);

    // A current folder that no longer exists cannot take the file either.
    std::filesystem::create_directory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove("../gone");
    EXPECT_FALSE(CredentialsFile::store("taro", "pw"));
    std::filesystem::current_path(folder.path());
}

} // namespace
