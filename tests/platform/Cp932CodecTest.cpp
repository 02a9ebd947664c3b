#include "platform/base/CString.h"
#include "platform/base/Cp932Codec.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CodecCase {
    const char* what;
    std::string utf8;
    std::string cp932;
};

const std::string kReplacement = "\xEF\xBF\xBD"; // U+FFFD

TEST(Cp932Codec, EncodesUtf8AsCp932) {
    const CodecCase cases[] = {
        {"ASCII", "abc 123", "abc 123"},
        {"empty", "", ""},
        {"backslash and tilde stay ASCII", "\\~", "\x5C\x7E"},
        {"hiragana", "あいう", "\x82\xA0\x82\xA2\x82\xA4"},
        {"katakana", "アモ", "\x83\x41\x83\x82"},
        {"kanji", "漢字", "\x8A\xBF\x8E\x9A"},
        {"kanji with a backslash trail byte", "表", "\x95\x5C"},
        {"half-width katakana", "ｱﾅｰ", "\xB1\xC5\xB0"},
        {"circled digit", "①", "\x87\x40"},
        {"parenthesised kabushiki", "㈱", "\x87\x8A"},
        {"full-width tilde", "～", "\x81\x60"},
        {"wave dash maps one way", "〜", "\x81\x60"},
        {"long-vowel mark", "ー", "\x81\x5B"},
        {"IBM extension", "纊", "\xFA\x5C"},
        {"arrow and colon", "→：", "\x81\xA8\x81\x46"},
        {"embedded NUL kept", std::string("a\0b", 3), std::string("a\0b", 3)},
        {"mixed", "a①b",
         "a\x87\x40"
         "b"},
        {"euro sign", "x€y", "x?y"},
        {"hangul", "한", "?"},
        {"emoji (four UTF-8 bytes)", "😀!", "?!"},
        {"accented latin", "é", "?"},
    };
    for (const CodecCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Cp932Codec::fromUtf8(c.utf8), c.cp932);
    }
}

TEST(Cp932Codec, DecodesCp932AsUtf8) {
    const CodecCase cases[] = {
        {"ASCII", "abc", "abc"},
        {"hiragana", "あ", "\x82\xA0"},
        {"half-width katakana", "ｱ", "\xB1"},
        {"circled digit", "①", "\x87\x40"},
        {"full-width tilde, not the wave dash", "～", "\x81\x60"},
        {"long-vowel mark", "ー", "\x81\x5B"},
        {"full-width minus", "－", "\x81\x7C"},
        {"parallel", "∥", "\x81\x61"},
        {"not sign", "￢", "\x81\xCA"},
        {"horizontal bar", "―", "\x81\x5C"},
        {"undefined single byte", "a" + kReplacement + "b",
         "a\x80"
         "b"},
        {"undefined bytes A0 and FF", kReplacement + kReplacement, "\xA0\xFF"},
        {"lead byte with an invalid trail keeps the trail", kReplacement + " x", "\x82\x20x"},
        {"unassigned double-byte row", kReplacement + "@", "\x85\x40"},
        {"truncated lead byte at the end", "a" + kReplacement, "a\x82"},
        {"embedded NUL kept", std::string("\0\0", 2), std::string("\0\0", 2)},
    };
    for (const CodecCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Cp932Codec::toUtf8(c.cp932), c.utf8);
    }
}

TEST(Cp932Codec, CharactersOfCp932SurviveTheRoundTrip) {
    const char* texts[] = {
        "これは本ですね", "ｶﾞｯﾄ ｸﾗｯｼｪ",         "①②⑳ⅠⅩ㈱㈲№℡",           "～－∥￢￠￡＼―",
        "表ソ能十予",     "纊褜鍈銈蓜ⅰⅹ￤＇＂", "凄下：→退室しました。", "ASCII !\"#$%&'()*+,-./~",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Cp932Codec::toUtf8(Cp932Codec::fromUtf8(text)), text);
    }
}

TEST(Cp932Codec, LongTextsConvertWhole) {
    // Longer than any internal buffer, in both directions.
    std::string utf8;
    std::string cp932;
    for (int i = 0; i < 5000; ++i) {
        utf8 += "あｱ";
        cp932 += "\x82\xA0\xB1";
    }
    EXPECT_EQ(Cp932Codec::fromUtf8(utf8), cp932);
    EXPECT_EQ(Cp932Codec::toUtf8(cp932), utf8);
    EXPECT_EQ(Cp932Codec::toUtf8(cp932 + "\x80"), utf8 + kReplacement);
}

TEST(Cp932Codec, MalformedUtf8DoesNotSwallowTheCharactersBehindIt) {
    struct Case {
        const char* what;
        std::string utf8;
        std::string tail;
    };
    const Case cases[] = {
        {"stray byte FF",
         "\xFF"
         "ab",
         "ab"},
        {"truncated three-byte sequence",
         "\xE3\x81"
         "a",
         "a"},
        {"lead byte C3 before ASCII",
         "\xC3"
         "A",
         "A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string encoded = Cp932Codec::fromUtf8(c.utf8);
        EXPECT_TRUE(encoded.starts_with("?")) << encoded;
        EXPECT_TRUE(encoded.ends_with("?" + c.tail)) << encoded;
    }
}

TEST(Cp932Codec, MalformedUtf8GivesAQuestionMark) {
    EXPECT_EQ(Cp932Codec::fromUtf8("a\x80"), "a?");
    EXPECT_EQ(Cp932Codec::fromUtf8("a\xE3\x81"), "a?");
}

TEST(Cp932Codec, NamesEachCharacterItCouldNotCarryOnceAsTheScreenShowsIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"あ①～", ""},
        {"絵😀字😀€", "😀 €"},
        {"❤️👍🏻👍", "❤️ 👍🏻 👍"}, // a variation selector, a skin tone
        {"👨‍👩‍👧🇯🇵🇺🇸",
         "👨‍👩‍👧 🇯🇵 🇺🇸"}, // joined by zero-width joiners; two flags
        {"e\xCC\x81", "\xCC\x81"},                // the mark alone, its letter being CP932
    };
    for (const auto& [utf8, named] : cases) {
        Cp932Codec::Unconvertible unconvertible;
        Cp932Codec::fromUtf8(utf8, &unconvertible);
        EXPECT_EQ(unconvertible.joined(), named) << utf8;
    }
    Cp932Codec::Unconvertible invalid;
    EXPECT_EQ(Cp932Codec::toUtf8("\x80"
                                 "a\xA0",
                                 &invalid),
              kReplacement + "a" + kReplacement);
    EXPECT_EQ(invalid.joined(), kReplacement);
}

} // namespace
