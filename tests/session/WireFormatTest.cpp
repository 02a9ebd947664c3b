#include "ScriptedPeer.h"
#include "session/WireFormat.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace WireFormat;

std::string bytesOf(const Record& record) {
    return std::string(record.data(), record.size());
}

TEST(ChatRecord, HoldsTheLineItsNulAndZeroFillIn500Bytes) {
    struct Case {
        const char* what;
        std::string line;
    };
    const Case cases[] = {
        {"short line", sjis("太郎：こんにちは")},
        {"empty line", ""},
        {"line of 499 bytes", std::string(497, 'a') + sjis("：")},
        {"line of 499 bytes ending in a lead byte", std::string(498, 'a') + "\x82"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<Record> record = chatRecord(CString(c.line));
        ASSERT_TRUE(record.has_value());
        std::string expected = c.line + std::string(500 - c.line.size(), '\0');
        EXPECT_EQ(bytesOf(*record), expected);
    }
}

TEST(ChatRecord, RefusesLinesOf500BytesOrMore) {
    for (std::size_t length : {500u, 501u, 1000u}) {
        SCOPED_TRACE(length);
        EXPECT_FALSE(chatRecord(CString(std::string(length, 'x'))).has_value());
    }
}

TEST(ChatRecord, LineIsNameColonAndText) {
    EXPECT_EQ(composeLine("NONE", "hi").bytes(), "NONE\x81\x46hi");
    EXPECT_EQ(composeLine(CString(sjis("太郎")), CString(sjis("です"))).bytes(), sjis("太郎：です"));
    EXPECT_EQ(composeLine("", "").bytes(), "\x81\x46");
}

TEST(LeaveNotice, IsTheNameAndTheSixteenBytesWithoutNul) {
    const std::string tail = "\x81\x46\x91\xDE\x8E\xBA\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81\x42";
    CString notice = leaveNotice("NONE");
    EXPECT_EQ(notice.GetLength(), 20);
    EXPECT_EQ(notice.bytes(), "NONE" + tail);
    EXPECT_EQ(leaveNotice(CString(sjis("太郎"))).bytes(), sjis("太郎") + tail);
}

TEST(SignInMessages, FieldsCarryTheirPrefixAndFitIn49Bytes) {
    struct Case {
        const char* what;
        std::string_view prefix;
        std::size_t valueBytes;
        bool fits;
    };
    const Case cases[] = {
        {"ID of 44 bytes fits USER:", kUserPrefix, 44, true},
        {"ID of 45 bytes does not fit USER:", kUserPrefix, 45, false},
        {"password of 40 bytes fits PASSWORD:", kPasswordPrefix, 40, true},
        {"password of 41 bytes does not fit PASSWORD:", kPasswordPrefix, 41, false},
        {"bare field of 49 bytes fits", "", 49, true},
        {"bare field of 50 bytes does not fit", "", 50, false},
        {"empty value", kUserPrefix, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string value(c.valueBytes, 'i');
        std::optional<CString> staged = field(c.prefix, CString(value));
        ASSERT_EQ(staged.has_value(), c.fits);
        if (c.fits) {
            EXPECT_EQ(staged->bytes(), std::string(c.prefix) + value);
        }
    }
    EXPECT_EQ(field(kUserPrefix, CString(sjis("太郎")))->bytes(), "USER:" + sjis("太郎"));
    EXPECT_EQ(field(kPasswordPrefix, "pw")->bytes(), "PASSWORD:pw");
}

TEST(ServerMessage, TextRunsToTheFirstNulOrTheEndOfWhatWasRead) {
    struct Case {
        const char* what;
        std::string bytes;
        int count;
        std::string expected;
    };
    const Case cases[] = {
        {"NUL after the text", std::string("ok\0\0", 4), 4, "ok"},
        {"no NUL", "Hello", 5, "Hello"},
        {"count shorter than the bytes", "abcdef", 3, "abc"},
        {"NUL first", std::string("\0ok", 3), 3, ""},
        {"record text before its zero fill", sjis("太郎：やあ") + std::string(10, '\0') + "x", 25, sjis("太郎：やあ")},
        {"nothing read", "ok", 0, ""},
        {"failed read", "ok", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(messageText(c.bytes.data(), c.count).bytes(), c.expected);
    }
    EXPECT_EQ(messageText(nullptr, 5).bytes(), "");
}

TEST(ServerMessage, OnlyExactlyOkAcceptsAndOnlyExactlyHelloGreets) {
    struct Case {
        std::string read;
        bool accept;
        bool greeting;
    };
    const Case cases[] = {
        {"ok", true, false},          {std::string("ok\0\0", 4), true, false},
        {"ok\r\n", false, false},     {"OK", false, false},
        {"", false, false},           {" ok", false, false},
        {"ok ", false, false},        {"o", false, false},
        {"okk", false, false},        {std::string("\0ok", 3), false, false},
        {"Hello", false, true},       {std::string("Hello\0\0\0", 8), false, true},
        {"Hello\r\n", false, false},  {"Hello!", false, false},
        {"hello", false, false},      {"Hell", false, false},
        {"HelloHello", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.read));
        CString text = messageText(c.read.data(), static_cast<int>(c.read.size()));
        EXPECT_EQ(isAccept(text), c.accept);
        EXPECT_EQ(isGreeting(text), c.greeting);
    }
}

TEST(ServerMessage, BytesHoldAGreetingWhereHelloStandsBetweenNulsOrTheEnds) {
    const std::pair<std::string, bool> cases[] = {
        {"Hello", true},   {std::string("x\0Hello\0\0", 9), true}, {std::string("\0\0Hello", 7), true},
        {"xHello", false}, {std::string("Hellox\0", 7), false},    {std::string("\0Hell\0o", 7), false},
    };
    for (const auto& [bytes, holds] : cases) {
        EXPECT_EQ(holdsGreeting(bytes), holds) << testing::PrintToString(bytes);
    }
}

} // namespace
