#include "ScriptedPeer.h"
#include "styles/SpeechStyle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Conversion = void (*)(const CString&, CString&);

struct StyleCase {
    const char* style;
    Conversion convert;
    std::string input;
    std::string expected;
};

void expectConversions(const std::vector<StyleCase>& cases) {
    for (const StyleCase& c : cases) {
        SCOPED_TRACE(std::string(c.style) + ": " + CString(c.input).toUtf8());
        CString output("stale");
        c.convert(CString(c.input), output);
        EXPECT_EQ(output.bytes(), c.expected) << output.toUtf8();
    }
}

TEST(SpeechStyle, WorkedExamples) {
    expectConversions({
        {"jayo", ConvertJayo, sjis("これは本ですね"), sjis("これは本じゃね")},
        {"jayo", ConvertJayo, sjis("そうですか"), sjis("そうですか")},
        {"jayo", ConvertJayo, sjis("学生ですじゃ"), sjis("学生ですじゃ")},
        {"jayo", ConvertJayo, sjis("雨だから行かないですね"), sjis("雨じゃから行かないんじゃね")},
        {"jayo", ConvertJayo, sjis("よろしくお願いします"), sjis("よろしくお願いしますぞ")},
        {"niigata", ConvertNiigata, sjis("ものすごく寒いので窓を閉めてください"),
         sjis("がっと寒いので窓を閉めてくらっしぇ")},
        {"niigata", ConvertNiigata, sjis("雨だから練習します"), sjis("雨だっけ練習します")},
        {"dearimasu", ConvertDearimasu, sjis("今日は休みです"), sjis("今日は休みであります")},
        {"dearimasu", ConvertDearimasu, sjis("雨だから練習します"), sjis("雨であるからして練習するであります")},
    });
}

TEST(SpeechStyle, EachStepOfTheTables) {
    expectConversions({
        {"jayo", ConvertJayo, sjis("本です"), sjis("本ですじゃ")},
        {"jayo", ConvertJayo, sjis("ですです"), sjis("ですじゃですじゃ")},
        {"jayo", ConvertJayo, sjis("そうじゃかな"), sjis("そうかな")},
        {"jayo", ConvertJayo, sjis("あるですね"), sjis("あるんじゃね")},
        {"jayo", ConvertJayo, sjis("待って下さい"), sjis("待って下され")},
        {"jayo", ConvertJayo, sjis("待ってください"), sjis("待ってくだされ")},
        {"jayo", ConvertJayo, sjis("雨なので"), sjis("雨ゆえ")},
        {"niigata", ConvertNiigata, sjis("待って下さい"), sjis("待ってくらっしぇ")},
        {"niigata", ConvertNiigata, sjis("もの凄く"), sjis("がっと")},
        {"niigata", ConvertNiigata, sjis("です"), sjis("です")},
        {"dearimasu", ConvertDearimasu, sjis("ですか"), sjis("でありますか")},
        {"dearimasu", ConvertDearimasu, sjis("ください"), sjis("ください")},
    });
}

TEST(SpeechStyle, LongVowelAndWaveMarksAreExactBytes) {
    // だね = 82 BE 82 CB, じゃね = 82 B6 82 E1 82 CB; ー = 81 5B, ～ = 81 60.
    const std::string dane = "\x82\xBE\x82\xCB";
    const std::string jane = "\x82\xB6\x82\xE1\x82\xCB";
    expectConversions({
        {"long-vowel mark", ConvertJayo, dane + "\x81\x5B", jane + "\x81\x5B"},
        {"wave mark", ConvertJayo, dane + "\x81\x60", jane + "\x81\x60"},
        {"wave mark typed as U+301C", ConvertJayo, sjis("だね〜"), jane + "\x81\x60"},
        {"dash look-alike", ConvertJayo, dane + "\x81\x5D", dane + "\x81\x5D"},
        {"minus look-alike", ConvertJayo, dane + "\x81\x7C", dane + "\x81\x7C"},
        {"half-width long-vowel mark", ConvertJayo, dane + "\xB0", dane + "\xB0"},
        {"bare だね", ConvertJayo, dane, dane},
    });
}

TEST(SpeechStyle, TextWithoutReplacedTextsIsUnchanged) {
    for (Conversion convert : {ConvertJayo, ConvertNiigata, ConvertDearimasu}) {
        for (const std::string& text : {std::string(), std::string("hello, world"), sjis("こんにちは、ｺﾝﾆﾁﾊ")}) {
            CString output("stale");
            convert(CString(text), output);
            EXPECT_EQ(output.bytes(), text);
        }
    }
}

TEST(SpeechStyle, ConvertsInPlace) {
    struct Case {
        Conversion convert;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {ConvertJayo, sjis("雨だから行かないですね"), sjis("雨じゃから行かないんじゃね")},
        {ConvertNiigata, sjis("ものすごく寒いので窓を閉めてください"), sjis("がっと寒いので窓を閉めてくらっしぇ")},
        {ConvertDearimasu, sjis("雨だから練習します"), sjis("雨であるからして練習するであります")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CString(c.input).toUtf8());
        CString text(c.input);
        c.convert(text, text);
        EXPECT_EQ(text.bytes(), c.expected);
    }
    UserRuleTable rules;
    rules.count = 2;
    rules.replaced = {CString(sjis("あ")), CString(sjis("い"))};
    rules.replacements = {CString(sjis("い")), CString(sjis("う"))};
    CString text(sjis("あいう"));
    ConvertUserRules(rules, text, text);
    EXPECT_EQ(text.bytes(), sjis("ううう"));
}

UserRuleTable table(const std::vector<std::pair<std::string, std::string>>& pairs) {
    UserRuleTable rules;
    for (const auto& [replaced, replacement] : pairs) {
        auto slot = static_cast<std::size_t>(rules.count++);
        rules.replaced[slot] = CString(replaced);
        rules.replacements[slot] = CString(replacement);
    }
    return rules;
}

TEST(UserRules, ApplyInSlotOrderEachOnTheResultOfTheOneBefore) {
    struct Case {
        const char* what;
        UserRuleTable rules;
        std::string input;
        std::string expected;
    };
    UserRuleTable beyondCount = table({{"A", "B"}, {"B", "C"}});
    beyondCount.count = 1;
    UserRuleTable emptyTable = table({{"A", "B"}});
    emptyTable.count = 0;
    const Case cases[] = {
        {"chain", table({{sjis("あ"), sjis("い")}, {sjis("い"), sjis("う")}}), sjis("あいう"), sjis("ううう")},
        {"A to B then B to A", table({{"A", "B"}, {"B", "A"}}), "ABAB", "AAAA"},
        {"B to A then A to B", table({{"B", "A"}, {"A", "B"}}), "ABAB", "BBBB"},
        {"empty replacement deletes", table({{sjis("です"), ""}}), sjis("本ですです"), sjis("本")},
        {"empty replaced text does nothing", table({{"", "x"}}), "abc", "abc"},
        {"count 0 changes nothing", emptyTable, "AAA", "AAA"},
        {"slots beyond the count are not rules", beyondCount, "AB", "BB"},
        {"replacement is never searched again", table({{"a", "aa"}}), "aaa", "aaaaaa"},
        {"case and width count", table({{"a", "x"}, {sjis("Ｂ"), "y"}}), "Aa" + sjis("ＢB"), "Ax" + sjis("y") + "B"},
        {"texts longer than the input", table({{"abcd", "x"}}), "abc", "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CString output("stale");
        ConvertUserRules(c.rules, CString(c.input), output);
        EXPECT_EQ(output.bytes(), c.expected);
    }
}

// Fifty rules that each make the text ten times longer would need 10^50 bytes: the conversion stops once the text
// is far past what a record holds, and Send refuses it as too long.
TEST(UserRules, RulesThatLengthenTheTextStopFarPastARecord) {
    std::vector<std::pair<std::string, std::string>> pairs(UserRuleTable::kCapacity, {"a", std::string(10, 'a')});
    CString output;
    ConvertUserRules(table(pairs), CString("a"), output);
    EXPECT_GT(output.GetLength(), 499);
    EXPECT_LT(output.GetLength(), 1 << 20);
}

TEST(SpeechStyle, MatchesStartOnlyOnCharacterBoundaries) {
    // モ is 83 82 and ﾅ is C5, so モﾅす is 83 82 C5 82 B7: its bytes 82 C5 82 B7 spell です from モ's second byte.
    const std::string mona = sjis("モﾅす");
    ASSERT_EQ(mona, "\x83\x82\xC5\x82\xB7");
    expectConversions({
        {"jayo", ConvertJayo, mona, mona},
        {"dearimasu", ConvertDearimasu, mona, mona},
        {"jayo after a half-width katakana", ConvertJayo, sjis("ﾅです"), sjis("ﾅですじゃ")},
        {"jayo after a character with an ASCII trail byte", ConvertJayo, sjis("表です"), sjis("表ですじゃ")},
    });
    struct Case {
        const char* what;
        UserRuleTable rules;
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        // 表 is 95 5C: its trail byte is a backslash.
        {"backslash inside 表", table({{"\\", "/"}}), "\x95\x5C\\", "\x95\x5C/"},
        // The ideographic space is 81 40: its trail byte is @.
        {"@ inside the ideographic space", table({{"@", "x"}}), sjis("　@"), sjis("　x")},
        // ソ is 83 5C; 5C 83 5C from its trail byte would be a match of \ソ.
        {"backslash and ソ", table({{"\\" + sjis("ソ"), "!"}}), sjis("ソソ\\ソ"), sjis("ソソ!")},
        {"half-width katakana are single bytes", table({{sjis("あ"), "a"}}), sjis("ｱあ"), sjis("ｱ") + "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CString output;
        ConvertUserRules(c.rules, CString(c.input), output);
        EXPECT_EQ(output.bytes(), c.expected);
    }
}

} // namespace
