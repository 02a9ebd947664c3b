#include "ScriptedPeer.h"
#include "session/RelayFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string zeros(std::size_t count) {
    return std::string(count, '\0');
}

// A read of nothing stands for the stream going quiet (a flush).
const std::string kQuiet;

std::vector<std::string> linesOf(const std::vector<std::string>& reads) {
    RelayFramer framer;
    std::vector<std::string> lines;
    auto onLine = [&](std::string_view text) { lines.emplace_back(text); };
    for (const std::string& read : reads) {
        if (read.empty()) {
            framer.flush(onLine);
        } else {
            framer.feed(read, onLine);
        }
    }
    return lines;
}

} // namespace

TEST(RelayFramer, HandsOutTheMessagesTheServerWrote) {
    struct Case {
        const char* name;
        std::vector<std::string> reads;
        std::vector<std::string> lines;
    };
    const std::string text500(500, 'z');
    const std::string t300(300, 't');
    const Case cases[] = {
        {"a record", {chatRecord("a")}, {"a"}},
        {"two records in one read", {chatRecord("a") + chatRecord("b")}, {"a", "b"}},
        {"a record over three reads",
         {chatRecord("a").substr(0, 1), chatRecord("a").substr(1, 300), chatRecord("a").substr(301)},
         {"a"}},
        {"a record of 499 bytes of text", {chatRecord(std::string(499, 'y'))}, {std::string(499, 'y')}},
        {"500 bytes without NUL are one line", {text500}, {text500}},
        {"1,000 bytes without NUL are two lines", {text500 + text500}, {text500, text500}},
        {"NUL fill where a message starts is no line", {std::string(20, '\0') + chatRecord("a")}, {"a"}},
        {"zero fill alone is no line", {std::string(499, '\0'), kQuiet}, {}},
        {"a short message is held until the stream goes quiet", {"bye"}, {}},
        {"a short message, then quiet", {"bye", kQuiet}, {"bye"}},
        {"a short message glued in front of a record", {"bye" + chatRecord("x"), chatRecord("y")}, {"bye", "x", "y"}},
        {"... then quiet, which cannot tell: the record is kept whole", {"bye" + chatRecord("x"), kQuiet}, {"byex"}},
        {"a short message glued in front of two records",
         {"bye" + chatRecord("x") + chatRecord("y")},
         {"bye", "x", "y"}},
        {"a short message after a record", {chatRecord("x") + "bye", kQuiet}, {"x", "bye"}},
        {"500 bytes of text and a short message, then quiet", {text500 + "bye", kQuiet}, {text500, "bye"}},
        {"quiet with nothing held", {kQuiet, chatRecord("a"), kQuiet}, {"a"}},
        {"a record's line ends at its first NUL", {chatRecord(std::string("x\0y", 3)) + chatRecord("a")}, {"x", "a"}},
        {"... also when a quiet comes after the NUL",
         {"x", zeros(1), kQuiet, "y" + zeros(497) + chatRecord("a")},
         {"x", "a"}},
        {"an all-zero record is no line", {chatRecord("a") + zeros(500) + chatRecord("b")}, {"a", "b"}},
        {"quiet in the fill after a record without NUL",
         {text500 + "bb" + zeros(1), kQuiet, zeros(497) + "c"},
         {text500, "bb"}},
        {"quiet in an all-zero record after a record", {chatRecord(t300) + zeros(200), kQuiet, zeros(300)}, {t300}},
        {"a record cut mid-text by a quiet: two lines, the next whole",
         {"ab", kQuiet, "c" + zeros(497) + chatRecord("d")},
         {"ab", "c", "d"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(linesOf(c.reads), c.lines);
    }
}

TEST(RelayFramer, RecordsCutAtEveryPointAreTheSameLines) {
    const std::string stream = chatRecord("first") + chatRecord(std::string(499, 's')) + std::string(500, 't');
    const std::vector<std::string> expected = {"first", std::string(499, 's'), std::string(500, 't')};
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(linesOf({stream.substr(0, cut), stream.substr(cut)}), expected);
    }
}
