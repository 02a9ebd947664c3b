#include "ScriptedPeer.h"
#include "TempDir.h"
#include "platform/CWnd.h"
#include "platform/TestSeam.h"
#include "platform/base/TextFile.h"
#include "res/ResourceIds.h"
#include "styles/UserRuleFile.h"
#include "styles/UserRules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairsOf(const UserRuleTable& table) {
    Pairs pairs;
    for (int i = 0; i < table.count; ++i) {
        auto slot = static_cast<std::size_t>(i);
        pairs.emplace_back(table.replaced[slot].bytes(), table.replacements[slot].bytes());
    }
    return pairs;
}

UserRuleTable tableOf(const Pairs& pairs) {
    UserRuleTable table;
    for (const auto& [replaced, replacement] : pairs) {
        auto slot = static_cast<std::size_t>(table.count++);
        table.replaced[slot] = CString(replaced);
        table.replacements[slot] = CString(replacement);
    }
    return table;
}

std::vector<std::string> folderEntries() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(".")) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

void expectMessage(const std::string& text) {
    TestSeam::expect([text](ModalWindow& box) {
        EXPECT_EQ(box.kind(), ModalWindow::Kind::MessageBox);
        EXPECT_EQ(box.text(), text);
        EXPECT_EQ(box.caption(), "omake.txt");
        box.press(IDOK);
    });
}

struct InjectedFailure {
    explicit InjectedFailure(long afterBytes) { AtomicTextWriter::failAfterBytesForTesting(afterBytes); }
    ~InjectedFailure() { AtomicTextWriter::failAfterBytesForTesting(-1); }
};

class UserRuleFile : public testing::Test {
protected:
    TempDir m_folder;
    CWnd m_owner;
};

TEST_F(UserRuleFile, LoadsAlternatingLinesAsRules) {
    std::string longText(200, 'L');
    std::string fullPairs;
    Pairs fifty;
    for (int i = 0; i < 51; ++i) {
        std::string replaced = "r" + std::to_string(i);
        std::string replacement = "s" + std::to_string(i);
        fullPairs += replaced + "\r\n" + replacement + "\r\n";
        if (i < 50) {
            fifty.emplace_back(replaced, replacement);
        }
    }
    struct Case {
        const char* what;
        std::string file;
        Pairs expected;
    };
    const Case cases[] = {
        {"two lines", sjis("あ\r\nい\r\n"), {{sjis("あ"), sjis("い")}}},
        {"odd line copies itself", sjis("あ\r\nい\r\nう\r\n"), {{sjis("あ"), sjis("い")}, {sjis("う"), sjis("う")}}},
        {"no final line end", sjis("あ\r\nい"), {{sjis("あ"), sjis("い")}}},
        {"odd line without a line end", "a\r\nb\r\nc", {{"a", "b"}, {"c", "c"}}},
        {"LF only",
         sjis("だから\nだっけ\nください\nくらっしぇ\n"),
         {{sjis("だから"), sjis("だっけ")}, {sjis("ください"), sjis("くらっしぇ")}}},
        {"empty file", "", {}},
        {"empty replacement", sjis("です\r\n\r\n"), {{sjis("です"), ""}}},
        {"empty replaced text", "\r\nx\r\n", {{"", "x"}}},
        {"lone CR belongs to the text", "a\rb\r\nc\r\n", {{"a\rb", "c"}}},
        {"a long line is read whole",
         longText + "\r\n" + sjis("い\r\nう\r\nえ\r\n"),
         {{longText, sjis("い")}, {sjis("う"), sjis("え")}}},
        {"at most 50 rules", fullPairs, fifty},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir::write("omake.txt", c.file);
        UserRuleTable table = tableOf({{"stale", "stale"}, {"stale", "stale"}, {"stale", "stale"}});
        std::vector<int> slots;
        EXPECT_TRUE(LoadUserRules(table, m_owner, "unused", [&slots](int slot) { slots.push_back(slot); }));
        EXPECT_EQ(pairsOf(table), c.expected);
        ASSERT_EQ(slots.size(), c.expected.size());
        for (std::size_t i = 0; i < slots.size(); ++i) {
            EXPECT_EQ(slots[i], static_cast<int>(i));
        }
    }
}

TEST_F(UserRuleFile, MissingFileShowsTheCallersMessageAndGivesNoRules) {
    expectMessage("ファイルが開けませんでした。\n");
    UserRuleTable table = tableOf({{"a", "b"}});
    EXPECT_FALSE(LoadUserRules(table, m_owner, SJIS("ファイルが開けませんでした。\n")));
    EXPECT_EQ(table.count, 0);
    EXPECT_EQ(TestSeam::answeredCount(), 1);
}

TEST_F(UserRuleFile, SavesEachRuleAsTwoCrLfLines) {
    struct Case {
        const char* what;
        Pairs rules;
        std::string expected;
    };
    const Case cases[] = {
        {"two rules",
         {{sjis("だから"), sjis("だっけ")}, {sjis("ください"), sjis("くらっしぇ")}},
         sjis("だから\r\nだっけ\r\nください\r\nくらっしぇ\r\n")},
        {"no rules", {}, ""},
        {"empty texts", {{"", "x"}, {"y", ""}}, "\r\nx\r\ny\r\n\r\n"},
        {"CP932 bytes as they are", {{"\x95\x5C", "\xB1"}}, "\x95\x5C\r\n\xB1\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir::write("omake.txt", "an older and longer file\r\nwith lines\r\nand more\r\n");
        EXPECT_TRUE(SaveUserRules(tableOf(c.rules), m_owner));
        EXPECT_EQ(TempDir::read("omake.txt"), c.expected);
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"omake.txt"});
    }
}

TEST_F(UserRuleFile, SavesOnlyTheRulesBelowTheCount) {
    UserRuleTable table = tableOf({{"a", "b"}, {"c", "d"}});
    table.count = 1;
    EXPECT_TRUE(SaveUserRules(table, m_owner));
    EXPECT_EQ(TempDir::read("omake.txt"), "a\r\nb\r\n");
}

TEST_F(UserRuleFile, LongTextsSurviveASaveAndAReload) {
    std::string text98;
    for (int i = 0; i < 49; ++i) {
        text98 += sjis("あ");
    }
    ASSERT_EQ(text98.size(), 98u);
    const Pairs rules = {{text98, sjis("い")},
                         {text98 + "x", text98 + sjis("う")},
                         {std::string(300, 'z'), "short"},
                         {sjis("最後"), text98}};
    ASSERT_TRUE(SaveUserRules(tableOf(rules), m_owner));
    UserRuleTable loaded;
    ASSERT_TRUE(LoadUserRules(loaded, m_owner, "unused"));
    EXPECT_EQ(pairsOf(loaded), rules);
}

TEST_F(UserRuleFile, FailedSaveShowsTheMessageAndKeepsTheOldFile) {
    for (long afterBytes : {0L, 5L, 9L}) {
        SCOPED_TRACE(afterBytes);
        TempDir::write("omake.txt", "old\r\nrule\r\n");
        expectMessage("ファイルが開けませんでした。\n");
        {
            InjectedFailure full(afterBytes);
            EXPECT_FALSE(SaveUserRules(tableOf({{"abc", "def"}, {"ghi", "jkl"}}), m_owner));
        }
        EXPECT_EQ(TempDir::read("omake.txt"), "old\r\nrule\r\n");
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"omake.txt"});
    }
    EXPECT_EQ(TestSeam::answeredCount(), 3);
}

TEST_F(UserRuleFile, SaveWhereNoFileCanBeWrittenShowsTheMessage) {
    // The file's name taken by a folder: the new file cannot replace it.
    std::filesystem::create_directory("omake.txt");
    expectMessage("ファイルが開けませんでした。\n");
    EXPECT_FALSE(SaveUserRules(tableOf({{"a", "b"}}), m_owner));
    EXPECT_TRUE(std::filesystem::is_directory("omake.txt"));
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"omake.txt"});

    // A current folder that is gone: nothing can be created in it.
    std::filesystem::create_directory("gone");
    std::filesystem::current_path("gone");
    std::filesystem::remove("../gone");
    expectMessage("ファイルが開けませんでした。\n");
    EXPECT_FALSE(SaveUserRules(tableOf({{"a", "b"}}), m_owner));
    std::filesystem::current_path(m_folder.path());
}

// The file alone tells its caller, and no one else: the boxes are the windows' to show.
TEST_F(UserRuleFile, ReadingAndWritingReportFailureWithoutABox) {
    UserRuleTable table = tableOf({{"a", "b"}});
    EXPECT_FALSE(::UserRuleFile::read(table));
    EXPECT_EQ(table.count, 0);
    std::filesystem::create_directory("omake.txt");
    EXPECT_FALSE(::UserRuleFile::write(tableOf({{"a", "b"}})));
    EXPECT_EQ(TestSeam::answeredCount(), 0);
}

} // namespace
