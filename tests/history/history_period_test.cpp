// The History window's periods around midnight and the daylight-saving changes of a zone that
// has them.
#include "history/history_period.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// UTC milliseconds of a UTC date and time.
int64_t utc(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return static_cast<int64_t>(timegm(&t)) * 1000;
}

class HistoryPeriodTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "Europe/Berlin", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    std::optional<std::string> saved_;
};

// Berlin is UTC+1 in winter and UTC+2 in summer; summer time began on 29 March 2026 at 02:00
// and ended on 25 October 2026 at 03:00.
TEST_F(HistoryPeriodTest, PeriodsFollowTheLocalClockAroundMidnightAndDaylightSaving) {
    struct Case {
        const char* what;
        int64_t now;
        HistoryPeriod period;
        int64_t since;
        std::optional<int64_t> until;
    };
    const Case cases[] = {
        {"today, a minute before midnight", utc(2026, 1, 14, 22, 59), HistoryPeriod::Today,
         utc(2026, 1, 13, 23, 0), utc(2026, 1, 14, 23, 0)},
        {"today, at midnight", utc(2026, 1, 14, 23, 0), HistoryPeriod::Today,
         utc(2026, 1, 14, 23, 0), utc(2026, 1, 15, 23, 0)},
        {"today, 23 hours in spring", utc(2026, 3, 29, 10, 0), HistoryPeriod::Today,
         utc(2026, 3, 28, 23, 0), utc(2026, 3, 29, 22, 0)},
        {"today, 25 hours in autumn", utc(2026, 10, 25, 10, 0), HistoryPeriod::Today,
         utc(2026, 10, 24, 22, 0), utc(2026, 10, 25, 23, 0)},
        {"last night, in the afternoon", utc(2026, 1, 14, 14, 0), HistoryPeriod::LastNight,
         utc(2026, 1, 13, 17, 0), utc(2026, 1, 14, 5, 0)},
        {"last night, late in the evening", utc(2026, 1, 14, 22, 30), HistoryPeriod::LastNight,
         utc(2026, 1, 13, 17, 0), utc(2026, 1, 14, 5, 0)},
        {"last night, just after midnight", utc(2026, 1, 14, 23, 30), HistoryPeriod::LastNight,
         utc(2026, 1, 14, 17, 0), utc(2026, 1, 15, 5, 0)},
        {"last night, 11 hours in spring", utc(2026, 3, 29, 10, 0), HistoryPeriod::LastNight,
         utc(2026, 3, 28, 17, 0), utc(2026, 3, 29, 4, 0)},
        {"last night, 13 hours in autumn", utc(2026, 10, 25, 10, 0), HistoryPeriod::LastNight,
         utc(2026, 10, 24, 16, 0), utc(2026, 10, 25, 5, 0)},
        {"last 7 days, across the spring change", utc(2026, 4, 2, 12, 0), HistoryPeriod::Last7Days,
         utc(2026, 3, 26, 23, 0), std::nullopt},
    };
    for (const Case& c : cases) {
        const TimeRange r = period_range(c.period, c.now);
        EXPECT_EQ(r.since_ms, c.since) << c.what;
        EXPECT_EQ(r.until_ms, c.until) << c.what;
    }
    const TimeRange all = period_range(HistoryPeriod::All, utc(2026, 1, 14, 12, 0));
    EXPECT_FALSE(all.since_ms || all.until_ms);
}

} // namespace
