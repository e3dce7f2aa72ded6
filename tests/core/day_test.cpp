#include "core/day.h"

#include <gtest/gtest.h>

TEST(Day, TextsRoundTripAndCountDays) {
    struct Case {
        const char* text;
        int32_t number;
    } cases[] = {{"1970-01-01", 0},     {"2000-02-29", 11016},   {"1969-12-31", -1},
                 {"2026-12-09", 20796}, {"0000-03-01", -719468}, {"9999-12-31", 2932896}};
    for (const Case& c : cases) {
        std::optional<Day> d = parse_day(c.text);
        ASSERT_TRUE(d) << c.text;
        EXPECT_EQ(d->number, c.number) << c.text;
        EXPECT_EQ(day_text(*d), c.text);
    }
}

TEST(Day, OnlyRealDatesInTheExactFormParse) {
    for (const char* bad : {"", "2026-1-05", "2026-01-5", "26-01-05", "2026/01/05", "2026-13-01",
                            "2026-00-10", "2026-02-29", "1900-02-29", "2026-04-31", "2026-01-00",
                            "2026-01-05 ", "+026-01-05", "2026-0a-05"}) {
        EXPECT_FALSE(parse_day(bad)) << bad;
    }
}
