#include "history/history_period.h"

#include <ctime>

int64_t local_time_ms(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    // Whether summer time holds at that hour is for mktime to find out.
    t.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&t)) * 1000;
}

TimeRange period_range(HistoryPeriod period, int64_t now_ms) {
    const std::time_t now = static_cast<std::time_t>(now_ms / 1000);
    std::tm today{};
    localtime_r(&now, &today);
    const int y = today.tm_year + 1900;
    const int m = today.tm_mon + 1;
    const int d = today.tm_mday;
    switch (period) {
    case HistoryPeriod::Today:
        return {local_time_ms(y, m, d, 0, 0), local_time_ms(y, m, d + 1, 0, 0)};
    case HistoryPeriod::LastNight:
        return {local_time_ms(y, m, d - 1, 18, 0), local_time_ms(y, m, d, 6, 0)};
    case HistoryPeriod::Last7Days:
        return {local_time_ms(y, m, d - 6, 0, 0), std::nullopt};
    case HistoryPeriod::All:
        break;
    }
    return {};
}
