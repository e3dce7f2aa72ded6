#include "core/text_encoding.h"

#include <gtest/gtest.h>

TEST(TextEncoding, Utf8StaysAndEverythingElseIsReadAsWindows1252) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"abc", "abc"},
        {"\xc3\xa9", "\xc3\xa9"}, // é in UTF-8
        {"\xe9", "\xc3\xa9"},     // é in Windows-1252
        {"\x80\x9f\xa0\xff", "\xe2\x82\xac\xc5\xb8\xc2\xa0\xc3\xbf"},
        {"\x81", "\xc2\x81"},                             // undefined: the C1 control
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                 // overlong: not UTF-8
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xe2\x82\xac"}, // a surrogate: not UTF-8
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_from_key_text(c.in), c.out) << c.in;
    }
}
