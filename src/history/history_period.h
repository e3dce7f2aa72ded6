// The periods a History window offers, as times: computed from "now" and the local time zone
// (TZ), so that a day with a daylight-saving change is 23 or 25 hours long and its night begins
// and ends at the hours the clock on the wall shows.
#pragma once

#include <cstdint>
#include <optional>

enum class HistoryPeriod {
    Today,     // local midnight to the next local midnight
    LastNight, // 18:00 of the day before today to 06:00 of today, local time
    Last7Days, // today and the six days before it, from local midnight on
    All,
};

struct TimeRange {
    std::optional<int64_t> since_ms; // from this time on
    std::optional<int64_t> until_ms; // before this time
};

// "Last night" is always the night that ends at 06:00 of today's local date: asked in the
// morning, in the afternoon or late in the evening it is the night just gone (the question a
// caretaker asks the day after), and asked at 02:00 it is the night in progress, up to now.
TimeRange period_range(HistoryPeriod period, int64_t now_ms);

// UTC milliseconds of a local date and time; days and hours out of their range carry over
// (day 0 is the last day of the month before).
int64_t local_time_ms(int year, int month, int day, int hour, int minute);
