#include "platform/base/TextLog.h"
#include "platform/base/TextLogLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The lines as the index reads them out of the log: the bytes from each line's start to its end.
std::vector<std::string> linesOf(const TextLog& log, const TextLogLines& lines) {
    std::string bytes = log.bytes();
    std::vector<std::string> texts;
    for (std::size_t line = 0; line < lines.count(); ++line) {
        std::size_t start = lines.start(line);
        texts.push_back(bytes.substr(start, lines.end(*log.shared(), line) - start));
        EXPECT_EQ(lines.lineAt(start), line);
    }
    return texts;
}

} // namespace

TEST(TextLogLines, FindsTheLinesAsTheEditorShowsThemHoweverTheTextGrows) {
    struct Case {
        const char* name;
        std::vector<std::string> appended;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"empty text is one empty line", {""}, {""}},
        {"CR LF, lone CR and lone LF", {"a\r\nb\rc\nd"}, {"a", "b", "c", "d"}},
        {"line end at the end leaves an empty last line", {"a\r\n"}, {"a", ""}},
        {"LF CR is two line ends", {"a\n\rb"}, {"a", "", "b"}},
        {"CR CR LF is one line end", {"a\r\r\nb"}, {"a", "b"}},
        {"CR CR CR LF is a CR, then CR CR LF", {"a\r\r\r\nb"}, {"a", "", "b"}},
        {"CR, then LF in the next piece", {"a\r", "\nb"}, {"a", "b"}},
        {"CR CR, then LF in the next piece", {"a\r\r", "\nb"}, {"a", "b"}},
        {"CR CR CR, then LF in the next piece", {"a\r\r\r", "\nb"}, {"a", "", "b"}},
        {"CR CR, then text", {"a\r\r", "b"}, {"a", "", "b"}},
        {"CR, CR and LF one piece each", {"a", "\r", "\r", "\n", "b"}, {"a", "b"}},
        {"CR, then CR LF", {"a\r", "\r\n", "b"}, {"a", "b"}},
        {"lines across chunk borders", {"abcdefgh\r", "\nij\r\nk"}, {"abcdefgh", "ij", "k"}},
        {"NUL and invalid bytes are text", {std::string("a\0\x81\r\n\xFF", 6)}, {std::string("a\0\x81", 3), "\xFF"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TextLog log(3);
        TextLogLines lines;
        for (const std::string& piece : c.appended) {
            log.append(piece);
            lines.update(*log.shared(), log.size());
        }
        EXPECT_EQ(linesOf(log, lines), c.lines);

        TextLogLines atOnce;
        atOnce.update(*log.shared(), log.size());
        EXPECT_EQ(linesOf(log, atOnce), c.lines);
    }
}

TEST(TextLogLines, ALineEndJoinedAcrossABlockOfStartsIsTakenBackWhole) {
    // 4,096 starts fill a block; the CR that opens the next block is joined by the LF appended after it.
    TextLog log;
    TextLogLines lines;
    std::string text;
    for (int i = 0; i < 4095; ++i) {
        text += "x\n";
    }
    log.append(text + "y\r\r");
    lines.update(*log.shared(), log.size());
    ASSERT_EQ(lines.count(), 4098u);
    log.append("\nz");
    lines.update(*log.shared(), log.size());
    std::vector<std::string> expected(4095, "x");
    expected.insert(expected.end(), {"y", "z"});
    EXPECT_EQ(linesOf(log, lines), expected);
    EXPECT_EQ(lines.lineAt(log.size() - 1), 4096u);
}
