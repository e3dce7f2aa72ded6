// Calendar days without a time of day or a zone: the unit a key's validity is kept in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// After the library headers above: Qt's moc parses headers as C++17 and fails on <compare> when
// it comes first in a header it reads.
#include <compare>

// Days since 1970-01-01 in the proleptic Gregorian calendar.
struct Day {
    int32_t number = 0;
    friend auto operator<=>(const Day&, const Day&) = default;
};

// Out-of-range months or days (2026-02-30) give no day rather than a neighbouring one.
std::optional<Day> day_from_date(int year, int month, int day);
// Exactly "YYYY-MM-DD" (years 0000-9999), or no day.
std::optional<Day> parse_day(std::string_view text);
std::string day_text(Day day);
