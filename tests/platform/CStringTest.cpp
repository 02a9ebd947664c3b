#include "ScriptedPeer.h"
#include "platform/base/CString.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CString, ReplaceScansLeftToRightWithoutOverlapOrRescanning) {
    struct Case {
        const char* what;
        std::string text;
        std::string oldText;
        std::string newText;
        std::string expected;
        int count;
    };
    const Case cases[] = {
        {"every occurrence", "a-b-c", "-", "+", "a+b+c", 2},
        {"non-overlapping pairs", "aaaa", "aa", "b", "bb", 2},
        {"odd remainder kept", "aaa", "aa", "b", "ba", 1},
        {"continues behind the replacement", "abab", "ab", "abab", "abababab", 2},
        {"replacement holding the search text", sjis("です"), sjis("です"), sjis("ですじゃ"), sjis("ですじゃ"), 1},
        {"empty search text changes nothing", "xyz", "", "q", "xyz", 0},
        {"replacing by nothing removes", "a-b-c", "-", "", "abc", 2},
        {"no occurrence", "abc", "d", "e", "abc", 0},
        {"whole text", "abc", "abc", "", "", 1},
        {"longer search than text", "ab", "abc", "x", "ab", 0},
        {"embedded NUL is a byte like any other", std::string("a\0b\0", 4), std::string("\0", 1), "", "ab", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CString text(c.text);
        EXPECT_EQ(text.Replace(c.oldText, c.newText), c.count);
        EXPECT_EQ(text.bytes(), c.expected);
    }
}

TEST(CString, FormatSubstitutesOneStringArgument) {
    struct Case {
        const char* format;
        CString argument;
        std::string expected;
    };
    const Case cases[] = {
        {"[%s]", "abc", "[abc]"},
        {"%s", "", ""},
        {"100%% %s", "x", "100% x"},
        {"no argument", "ignored", "no argument"},
        // A %s argument ends at its first NUL, as a C string does.
        {"<%s>", CString("ab\0cd", 5), "<ab>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        CString text("previous content");
        text.Format(c.format, c.argument);
        EXPECT_EQ(text.bytes(), c.expected);
    }
}

TEST(CString, FormatKeepsCp932BytesOfFormatAndArgument) {
    CString text;
    text.Format(sjis("ファイル '%s' が開けませんでした。\n").c_str(), CString(sjis("表ソ")));
    EXPECT_EQ(text.bytes(), sjis("ファイル '表ソ' が開けませんでした。\n"));
}

} // namespace
