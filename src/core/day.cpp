#include "core/day.h"

#include <cstdio>

namespace {

// The usual era arithmetic (400-year eras of 146097 days, years starting in March): exact,
// no table, no time zone.
int32_t days_from_civil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int>(doe) - 719468;
}

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

} // namespace

std::optional<Day> day_from_date(int year, int month, int day) {
    static constexpr int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) {
        return std::nullopt;
    }
    int length = lengths[month - 1] + (month == 2 && leap(year) ? 1 : 0);
    if (day > length) {
        return std::nullopt;
    }
    return Day{days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))};
}

std::optional<Day> parse_day(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    int parts[3] = {0, 0, 0};
    size_t at = 0;
    for (int p = 0; p < 3; ++p) {
        size_t width = p == 0 ? 4 : 2;
        for (size_t i = 0; i < width; ++i, ++at) {
            char c = text[at];
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            parts[p] = parts[p] * 10 + (c - '0');
        }
        ++at; // the dash
    }
    return day_from_date(parts[0], parts[1], parts[2]);
}

std::string day_text(Day day) {
    const int32_t z = day.number + 719468;
    const int32_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int y = static_cast<int>(yoe) + era * 400 + (m <= 2);
    char out[24];
    std::snprintf(out, sizeof out, "%04d-%02u-%02u", y, m, d);
    return out;
}
