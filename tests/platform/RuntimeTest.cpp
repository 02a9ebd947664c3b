#include "platform/base/Runtime.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(StrToInt, ConvertsLikeTheCRuntime) {
    struct Case {
        CString text;
        int expected;
    };
    const Case cases[] = {
        {"3000", 3000},
        {"  42x", 42},
        {"\t\n\v\f\r 7", 7},
        {"abc", 0},
        {"", 0},
        {"-5", -5},
        {"+8", 8},
        {"- 5", 0},
        {"0x1A", 0},
        {"12 34", 12},
        {"007", 7},
        {"\x82\x52", 0}, // full-width digit 3
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
        {CString("65\0"
                 "535",
                 6),
         65},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.bytes());
        EXPECT_EQ(StrToInt(c.text), c.expected);
    }
}

} // namespace
